// HTML escaping of request text before it goes into a page table: whatever a shopper sends or
// typed is shown as text, never taken as markup. Catalogue texts and messages are not escaped.
#pragma once

#include <cstddef>

// Large enough for any request value (GetParam gives at most 255 characters) with every
// character turned into the longest entity.
constexpr size_t kEscapeSize = 255 * 6 + 1;

// Copies text into out (size bytes, always terminated) with &, <, >, " and ' written as
// entities. When the result does not fit it is cut before the first character or entity that
// would not fit, so an entity is never split. Returns out.
char *HtmlEscapeTo(char *out, size_t size, const char *text);

// The same into one of eight static buffers of kEscapeSize bytes used in turn, so a page can
// escape a few values in one statement; the ninth call overwrites the first result.
const char *HtmlEscape(const char *text);
