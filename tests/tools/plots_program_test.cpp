// vgs-plots, run as the demo runs it, against the built bundle: three readable PNG images.
#include <cairo.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace {

TEST(plots_program, writes_three_png_images_drawn_from_the_bundle)
{
    char dir_template[] = "/tmp/vgs-plots-XXXXXX";
    const char* dir = mkdtemp(dir_template);
    ASSERT_NE(dir, nullptr);
    const std::string command = std::string("\"") + VGS_PLOTS + "\" \"" + VGS_BUNDLE_DIR + "\" " + dir + " > /dev/null";
    ASSERT_EQ(system(command.c_str()), 0) << command;

    for (const char* name : {"demo_waveforms.png", "transfer_curve.png", "harmonic_spectrum.png"}) {
        SCOPED_TRACE(name);
        const std::string path = std::string(dir) + "/" + name;
        cairo_surface_t* image = cairo_image_surface_create_from_png(path.c_str());
        ASSERT_EQ(cairo_surface_status(image), CAIRO_STATUS_SUCCESS);
        EXPECT_GE(cairo_image_surface_get_width(image), 800);
        EXPECT_GE(cairo_image_surface_get_height(image), 600);
        // Drawn, not blank: the plotted lines bring in colours that are not grey.
        cairo_surface_flush(image);
        const unsigned char* data = cairo_image_surface_get_data(image);
        const int stride = cairo_image_surface_get_stride(image);
        int coloured = 0;
        for (int y = 0; y < cairo_image_surface_get_height(image); y++)
            for (int x = 0; x < cairo_image_surface_get_width(image); x++) {
                const unsigned char* p = data + y * stride + 4 * x;
                const int spread = std::max({p[0], p[1], p[2]}) - std::min({p[0], p[1], p[2]});
                coloured += spread > 60;
            }
        EXPECT_GT(coloured, 2000);
        cairo_surface_destroy(image);
        unlink(path.c_str());
    }
    rmdir(dir);
}

}  // namespace
