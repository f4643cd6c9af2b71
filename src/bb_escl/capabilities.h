// Fetch and walk of the ScannerCapabilities document.
#pragma once

#include <stdint.h>

struct host_session;
struct bb_session;
struct escl_caps;

int bb_get_scanner_elements(host_session *hs, escl_caps *caps);
int bb_parse_scan_elements(char *doc, int32_t length, bb_session *session, escl_caps *caps);
