// The plug-in's private per-device record and the capabilities record the
// capabilities walk fills.  All fields are 32-bit words so the layout is
// fixed; the walk indexes colour modes by mode id.
#pragma once

#include <stdint.h>

#include "bb_escl.h"
#include "../http/limits.h"

struct http_handle;

struct source_caps {
  int32_t supported;
  int32_t min_width;   // 1/300 inch
  int32_t min_height;
  int32_t max_width;
  int32_t max_height;
  int32_t color_modes[4];  // indexed by mode id, entry 0 unused
  int32_t max_optical_x_res;
  int32_t max_optical_y_res;
  int32_t res_range_min;
  int32_t res_range_max;
  int32_t resolutions[BB_WORD_LIST_WORDS];  // count, then up to 31 dpi values
};

struct escl_caps {
  int32_t color_modes[4];  // modes of platen or simplex feeder, by mode id
  int32_t reserved1[3];
  int32_t gated_option_enabled;
  int32_t reserved2[3];
  int32_t feeder_capacity;
  source_caps platen;
  source_caps adf_simplex;
  source_caps adf_duplex;
  source_caps camera;
  int32_t reserved3[13];
};

// What one input source offers beyond escl_caps, for a job's ScanSettings.
struct source_offers {
  // By mode id: bit (1 << BB_FORMAT_PNG) and (1 << BB_FORMAT_JPEG) for the
  // formats the source offers in that colour mode (entry 0 unused).
  uint32_t formats[4];
  int32_t formats_listed;  // the source lists any DocumentFormat at all
  int32_t format_ext;      // ... as scan:DocumentFormatExt
  uint32_t intents;        // bit (1 << BB_INTENT_x) per scan:Intent listed
};

struct escl_offers {
  source_offers platen;
  source_offers adf_simplex;
  source_offers adf_duplex;
  source_offers camera;
  // scan:CompressionFactorSupport: the least factor, the best JPEG quality.
  int32_t compression_listed;
  int32_t compression_min;
};

struct bb_session {
  escl_caps caps;
  escl_offers offers;
  http_handle *http;     // the connection of the moment, or nullptr
  int32_t escl_version;  // 0 none, 1 eSCL 1.x (refused), 2 otherwise
  // Whether the device last reported the job Completed, Canceled or
  // Aborted: a cancelling scan end deletes a job that has not ended.
  int32_t job_ended;
  // The last status document bb_check_scanner_to_continue fetched, for the
  // page start that follows it: one status request a feeder page.
  int32_t status_fresh;
  char status_job_id[BB_JOB_ID_SIZE];
  // The device refused a job for its Host header and took it as
  // "localhost": every request to it says so until it is closed.
  int32_t host_localhost;
  // Status documents for the plug-in's own use: devices list dozens of past
  // jobs, the one of interest may come last.  One byte more for the NUL.
  char status_doc[bb::kLongStatusBufferSize + 1];
};

static_assert(sizeof(source_caps) == 45 * 4, "source_caps is 45 words");
static_assert(sizeof(escl_caps) == 205 * 4, "escl_caps is 205 words");
