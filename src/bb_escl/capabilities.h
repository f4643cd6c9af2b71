// Fetch and walk of the ScannerCapabilities document.
#pragma once

#include <stdint.h>

#include "../http/limits.h"

struct host_session;
struct bb_session;
struct escl_caps;
struct source_offers;

int bb_get_scanner_elements(host_session *hs, escl_caps *caps);
int bb_parse_scan_elements(char *doc, int32_t length, bb_session *session, escl_caps *caps);

// The walk's two small buffers; the fetch keeps them in its own frame next
// to the document, so a device open takes nothing from the heap for them.
struct caps_walk_buffers {
  char tag[bb::kTagBufferSize];
  char value[bb::kValueBufferSize];
};

int bb_parse_scan_elements(char *doc, int32_t length, bb_session *session, escl_caps *caps,
                           caps_walk_buffers *work);

namespace bb {
// What a source (by input-source id) offers; a duplex feeder that lists
// nothing of its own offers what the simplex feeder does.
const source_offers &offers_of(const bb_session *session, int32_t source);
}  // namespace bb
