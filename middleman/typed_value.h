// A value typed into a knob's value box, in the units the box shows: "63.5", "63.50 %",
// "-0", " 100 ". The sign and whole digits are read by the parameter table's own parse,
// as the host reads its text entries; the box adds the decimals it shows, so that what
// the box displays can be typed back. Anything else is refused, and so is a number
// outside the parameter's range: nothing is clamped behind the user's back.
#pragma once

enum typed_verdict {
    typed_ok,
    typed_unreadable,   // not a number in the box's units
    typed_out_of_range, // a number, but below the minimum or above the maximum
};

struct typed_value {
    typed_verdict verdict;
    float value; // the plain value to send, when typed_ok
};

typed_value typed_value_parse(int index, const char* text);
