// The instructions in the built plug-in libraries (VST 3 and LV2), as objdump disassembles them: no fused
// multiply-add anywhere (a fused product skips a rounding and changes the bits), and on
// x86-64 the AVX code only inside the block path's eight-lane function, which runs only
// where the processor has AVX2, so that everything else runs on any x86-64 processor.
// On aarch64 the eight-lane function is plain NEON code like the rest. On x86-64 the
// eight-lane code is built a second time in AVX-512's encoding, for the processors that
// have it: what only that encoding can express (broadcast operands, mask registers,
// registers 16 to 31) appears in that function alone, and no 512-bit
// register anywhere (on some processors they lower the core's clock).
// The block path's functions copy no record in bulk (a string move or a call to memcpy):
// beside the recursion, such a copy fills the processor's store queue and costs far more
// than storing each value where it is needed.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

bool starts_with(const std::string& s, const char* prefix)
{
    return s.rfind(prefix, 0) == 0;
}

// Instructions per function, by mnemonic; a string instruction with its operation
// ("rep movsq"), a call with its target ("call memcpy@plt", "bl memcpy@plt").
using listing = std::map<std::string, std::map<std::string, int>>;

// Under this name a listing counts the instructions that only AVX-512's (EVEX) encoding
// has, whatever their mnemonic.
constexpr const char evex_only[] = "(evex-only)";
// And those on 512-bit registers.
constexpr const char on_zmm[] = "(512-bit)";

// Operands that only AVX-512's encoding can express: a broadcast operand ("{1to8}"), a
// mask register (%k1), or vector registers 16 to 31.
bool in_evex_only(const std::string& operands)
{
    if (operands.find("{1to") != std::string::npos)
        return true;
    for (size_t at = operands.find('%'); at != std::string::npos; at = operands.find('%', at + 1)) {
        const char* reg = operands.c_str() + at + 1;
        int n = 0;
        if ((reg[0] == 'k' && reg[1] >= '0' && reg[1] <= '7') ||
            ((std::sscanf(reg, "xmm%d", &n) == 1 || std::sscanf(reg, "ymm%d", &n) == 1) && n >= 16))
            return true;
    }
    return false;
}

listing disassemble(const std::string& path)
{
    listing out;
    // The binutils of the library's architecture (aarch64-linux-gnu-objdump for aarch64).
    const std::string command = std::string(VGS_OBJDUMP) + " -d --no-show-raw-insn '" + path + "' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return out;
    std::string function;
    char line[4096];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        const std::string text(line);
        // "0000000000012340 <name>:" opens a function; "   12345:\tmnemonic operands" is
        // an instruction.
        const size_t open = text.find(" <");
        if (open != std::string::npos && text.find(">:") != std::string::npos && text[0] != ' ') {
            function = text.substr(open + 2, text.find(">:") - open - 2);
            continue;
        }
        const size_t tab = text.find(":\t");
        if (tab == std::string::npos || function.empty())
            continue;
        const std::string rest = text.substr(tab + 2);
        std::string mnemonic = rest.substr(0, rest.find_first_of(" \t\n"));
        if (starts_with(mnemonic, "rep")) {
            const size_t op = rest.find_first_not_of(" \t", mnemonic.size());
            if (op != std::string::npos)
                mnemonic += " " + rest.substr(op, rest.find_first_of(" \t\n", op) - op);
        } else if (mnemonic == "call" || mnemonic == "bl") {
            const size_t target = rest.find('<');
            if (target != std::string::npos)
                mnemonic += " " + rest.substr(target + 1, rest.find_first_of("+>", target) - target - 1);
        }
        if (!mnemonic.empty())
            out[function][mnemonic]++;
#if defined(__x86_64__)
        const std::string operands = rest.substr(mnemonic.size() < rest.size() ? mnemonic.size() : rest.size());
        if (in_evex_only(operands))
            out[function][evex_only]++;
        if (operands.find("%zmm") != std::string::npos)
            out[function][on_zmm]++;
#endif
    }
    pclose(pipe);
    return out;
}

#if defined(__x86_64__)
// FMA3 (vfmadd231ps, vfnmsub213ss, vfmaddsub…) and FMA4 (vfmaddps…) alike.
constexpr const char* fused_forms[] = {"vfmadd", "vfmsub", "vfnmadd", "vfnmsub"};
#elif defined(__aarch64__)
// Scalar fmadd/fmsub/fnmadd/fnmsub, and the vector fmla/fmls (by element, fmlal… too).
constexpr const char* fused_forms[] = {"fmadd", "fmsub", "fnmadd", "fnmsub", "fmla", "fmls"};
#endif

} // namespace

TEST(instruction_set, no_fused_multiply_add_avx_only_in_the_eight_lane_path_avx512_only_in_its_own_and_never_512_bits_no_bulk_copy_in_the_block_path)
{
    for (const std::string& path :
         {std::string(VGS_PLUGIN_SO), std::string(VGS_LV2_BUNDLE_DIR) + "/vellum_grist_saturator.so"}) {
        SCOPED_TRACE(path);
        const listing code = disassemble(path);
        ASSERT_GT(code.size(), 100u) << "objdump read no functions";
        int avx_in_eight_lanes = 0;
        int in_eight_lanes = 0;
        int evex_in_avx512 = 0;
        int block_functions = 0;
        for (const auto& [function, mnemonics] : code) {
            const bool block_path = function.find("process_with_") != std::string::npos;
            block_functions += block_path;
            for (const auto& [mnemonic, count] : mnemonics) {
                if (mnemonic == evex_only) {
                    if (function.find("eight_lanes_in_avx512") != std::string::npos)
                        evex_in_avx512 += count;
                    else
                        ADD_FAILURE() << count << " instructions of AVX-512's encoding outside its eight-lane path, in "
                                      << function;
                    continue;
                }
                if (mnemonic == on_zmm) {
                    ADD_FAILURE() << count << " instructions on 512-bit registers in " << function;
                    continue;
                }
                for (const char* fused : fused_forms)
                    EXPECT_FALSE(starts_with(mnemonic, fused)) << mnemonic << " in " << function;
#if !defined(VGS_SANITIZED)
                // (The sanitized build checks every memory copy with a memcpy call of its own.)
                if (block_path)
                    EXPECT_TRUE(!starts_with(mnemonic, "rep movs") && mnemonic.find("memcpy") == std::string::npos)
                        << count << " × " << mnemonic << " in " << function;
#endif
                if (function.find("eight_lanes") != std::string::npos)
                    in_eight_lanes += count;
#if defined(__aarch64__)
                continue;
#endif
                // Every VEX-encoded instruction (the AVX forms) has a mnemonic starting in v.
                if (mnemonic[0] != 'v')
                    continue;
                if (function.find("eight_lanes") != std::string::npos)
                    avx_in_eight_lanes += count;
                else
                    ADD_FAILURE() << mnemonic << " outside the eight-lane path, in " << function;
            }
        }
        EXPECT_GT(in_eight_lanes, 1000) << "the eight-lane path is missing";
#if defined(__x86_64__)
        EXPECT_GE(block_functions, 3)
            << "the block path's three functions (four lanes, eight lanes, eight in AVX-512's encoding) not found";
        EXPECT_GT(avx_in_eight_lanes, 1000) << "the eight-lane path holds no AVX code";
        // Broadcast operands alone are some hundreds there.
        EXPECT_GT(evex_in_avx512, 100) << "the eight lanes in AVX-512's encoding hold none of it";
#else
        EXPECT_GE(block_functions, 2) << "the block path's two functions (four and eight lanes) not found";
#endif
    }
}
