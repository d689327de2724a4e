// Texts that arrive from outside for the update check (the reply, the
// endpoint from the environment, the link): trimming and the plain checks
// that decide whether such a text may be shown or handed to another program.
#pragma once

#include <string_view>

namespace vel {

// `text` without the Unicode white space around it. Bytes that are not
// valid UTF-8 are kept: they are nobody's white space.
std::string_view trim_unicode_space(std::string_view text);

// A control character here is one that changes how the text around it
// reads rather than showing itself: C0, DEL, C1, the line and paragraph
// separators, and Unicode's format characters (category Cf: the bidi
// overrides and isolates that reverse a text, zero-width joiners and
// spaces, the byte order mark, tags). A reply that holds one is not shown.

// True when `text` holds a white space or control character anywhere
// (Unicode white space included) or a byte that is not valid UTF-8.
bool holds_space_or_control(std::string_view text);

// True when `text` holds a control character or a byte that is not valid
// UTF-8. Blanks are allowed.
bool holds_control(std::string_view text);

}  // namespace vel
