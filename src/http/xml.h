// Byte-level scanners for the flat XML the scanner sends: no tree, no
// namespaces, no entities.  The walk passes the position and the number of
// bytes that remain from it to the end of the document.
#pragma once

#include <stdint.h>

// Drops TAB/LF/CR from a body the HTTP layer has already stripped of its
// transfer framing.  In place; the result is never longer than the input.
void normalize_body(char *text);

// Copies the text of the next tag (between '<' and '>') skipping comments.
// An empty tag buffer means no tag was found.  next may be null.  Returns
// the length of the text copied.
int32_t xml_next_tag(const char *pos, int32_t remaining, char *tag, int32_t capacity,
                     const char **next);

// Copies the character data from pos up to the next '<'.
void xml_element_text(const char *pos, int32_t remaining, char *text, int32_t capacity,
                      const char **next);
