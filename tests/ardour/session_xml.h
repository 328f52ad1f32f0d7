// Text edits of the DAW's XML files: what its headless tools cannot do (placing an audio
// file on a track) and what the chunk-only reload needs (the DAW's own copies of the
// parameter values taken out).
#pragma once

#include <cstdint>
#include <map>
#include <string>

// Attributes of the first element named `element` ("VST3Info"); empty when absent.
std::map<std::string, std::string> element_attributes(const std::string& xml, const std::string& element);

// Puts the audio file `file_name`, already copied into the session's audiofiles folder,
// as one region at the start of the playlist of track `track` (fades off, unity gain),
// and sets the session range to its length. Ids come from the session's id counter,
// which is moved past them.
bool add_file_region(std::string* xml, const std::string& track, const std::string& file_name, int64_t samples,
                     double sample_rate, std::string* error);

// Removes, inside the plug-in's processor element (of the type the DAW writes: "vst3",
// "lv2"), every saved parameter port value and every controllable (the DAW's copies of
// the parameter values), so that the plug-in's own state is all that is left. Returns
// the number of elements removed.
int strip_parameter_copies(std::string* xml, std::string* error, const std::string& type = "vst3");

// The processor element of the `index`-th plug-in of that type in the file (from
// "<Processor" to "</Processor>"), or "".
std::string plugin_processor_element(const std::string& xml, int index = 0, const std::string& type = "vst3");
