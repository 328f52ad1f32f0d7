#include "session_xml.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

std::map<std::string, std::string> element_attributes(const std::string& xml, const std::string& element)
{
    std::map<std::string, std::string> attributes;
    size_t at = xml.find("<" + element + " ");
    if (at == std::string::npos)
        return attributes;
    const size_t end = xml.find('>', at);
    size_t pos = at + element.size() + 2;
    while (pos < end) {
        const size_t eq = xml.find("=\"", pos);
        if (eq == std::string::npos || eq > end)
            break;
        size_t name_start = xml.find_last_of(" \t\n", eq);
        const std::string name = xml.substr(name_start + 1, eq - name_start - 1);
        const size_t close = xml.find('"', eq + 2);
        if (close == std::string::npos || close > end)
            break;
        attributes[name] = xml.substr(eq + 2, close - eq - 2);
        pos = close + 1;
    }
    return attributes;
}

// The DAW counts time in "superclock" ticks, 282240000 per second, written with an "a"
// prefix; a length also names the position it starts from ("a<ticks>@a<position>").
static std::string superclock(int64_t samples, double sample_rate)
{
    const int64_t per_second = 282240000;
    char text[40];
    snprintf(text, sizeof text, "a%" PRId64, (int64_t)((double)samples * ((double)per_second / sample_rate)));
    return text;
}

static bool replace_once(std::string* xml, const std::string& from, const std::string& to)
{
    const size_t at = xml->find(from);
    if (at == std::string::npos)
        return false;
    xml->replace(at, from.size(), to);
    return true;
}

bool add_file_region(std::string* xml, const std::string& track, const std::string& file_name, int64_t samples,
                     double sample_rate, std::string* error)
{
    const std::string counter_key = "id-counter=\"";
    const size_t counter_at = xml->find(counter_key);
    if (counter_at == std::string::npos) {
        *error = "no id-counter in the session";
        return false;
    }
    const size_t value_at = counter_at + counter_key.size();
    const size_t value_end = xml->find('"', value_at);
    const long long counter = std::stoll(xml->substr(value_at, value_end - value_at));
    const std::string source_id = std::to_string(counter + 1);
    const std::string region_id = std::to_string(counter + 2);
    const std::string range_id = std::to_string(counter + 3);
    xml->replace(value_at, value_end - value_at, std::to_string(counter + 4));

    const std::string start = superclock(0, sample_rate);
    const std::string end = superclock(samples, sample_rate);
    const std::string source = "<Sources>\n    <Source name=\"" + file_name + "\" type=\"audio\" flags=\"\" id=\"" +
                               source_id + "\" captured-for=\"\" channel=\"0\" origin=\"\" gain=\"1\"/>\n  </Sources>";
    if (!replace_once(xml, "<Sources/>", source)) {
        *error = "the session already has sources";
        return false;
    }

    // The playlist of the track, still empty (written as one self-closing element).
    const std::string marker = "name=\"" + track + "\" type=\"audio\"";
    const size_t playlist = xml->find(marker, xml->find("<Playlists>"));
    const size_t close = playlist == std::string::npos ? std::string::npos : xml->find('>', playlist);
    if (close == std::string::npos || (*xml)[close - 1] != '/') {
        *error = "no empty playlist for track " + track;
        return false;
    }
    const std::string region = "\n      <Region name=\"" + file_name + "\" start=\"" + start + "\" length=\"" + end + "@" +
                               start + "\" position=\"" + start + "\" id=\"" + region_id +
                               "\" type=\"audio\" source-0=\"" + source_id + "\" master-source-0=\"" + source_id +
                               "\" channels=\"1\" fade-in-active=\"0\" fade-out-active=\"0\" envelope-active=\"0\""
                               " scale-amplitude=\"1\"/>\n    </Playlist>";
    xml->replace(close - 1, 2, ">" + region);

    const std::string range = "<Locations>\n    <Location id=\"" + range_id + "\" name=\"session\" start=\"" + start +
                              "\" end=\"" + end +
                              "\" flags=\"IsSessionRange\" locked=\"0\" timestamp=\"0\" cue=\"0\"/>\n  </Locations>";
    if (!replace_once(xml, "<Locations/>", range)) {
        *error = "the session already has locations";
        return false;
    }
    return true;
}

static bool processor_bounds(const std::string& xml, const std::string& type, size_t* begin, size_t* end,
                             size_t from = 0)
{
    size_t at = from;
    while ((at = xml.find("<Processor ", at)) != std::string::npos) {
        const size_t tag_end = xml.find('>', at);
        if (tag_end != std::string::npos && xml.substr(at, tag_end - at).find("type=\"" + type + "\"") != std::string::npos) {
            const size_t close = xml.find("</Processor>", tag_end);
            if (close == std::string::npos)
                return false;
            *begin = at;
            *end = close + strlen("</Processor>");
            return true;
        }
        at = tag_end;
    }
    return false;
}

std::string plugin_processor_element(const std::string& xml, int index, const std::string& type)
{
    size_t begin, end = 0;
    for (int i = 0; i <= index; i++)
        if (!processor_bounds(xml, type, &begin, &end, end))
            return "";
    return xml.substr(begin, end - begin);
}

// Removes every self-closing element `<name .../>` from `text`, with its indentation.
static int remove_elements(std::string* text, const std::string& name)
{
    int removed = 0;
    size_t at;
    while ((at = text->find("<" + name + " ")) != std::string::npos) {
        const size_t close = text->find("/>", at);
        if (close == std::string::npos)
            break;
        size_t line_start = text->find_last_not_of(" \t", at - 1);
        line_start = (line_start == std::string::npos || (*text)[line_start] != '\n') ? at : line_start;
        text->erase(line_start, close + 2 - line_start);
        removed++;
    }
    return removed;
}

int strip_parameter_copies(std::string* xml, std::string* error, const std::string& type)
{
    size_t begin, end;
    if (!processor_bounds(*xml, type, &begin, &end)) {
        *error = "no " + type + " processor in the session";
        return -1;
    }
    std::string processor = xml->substr(begin, end - begin);
    const int removed = remove_elements(&processor, "Port") + remove_elements(&processor, "Controllable");
    xml->replace(begin, end - begin, processor);
    return removed;
}
