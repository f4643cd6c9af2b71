/*
 * Records shared between the bb_escl eSCL plug-in and the host backend
 * that loads it, and the plug-in's sixteen entry points.
 *
 * The host owns one host_session per device, zero-fills it before bb_open
 * (the plug-in writes name and id lists without a terminating entry) and
 * passes it to every entry point.  The plug-in keeps its own state behind
 * the bb_session pointer.
 */
#ifndef BB_ESCL_H
#define BB_ESCL_H

#include <signal.h>
#include <stdint.h>
#include <sane/sane.h>

#ifdef __cplusplus
extern "C" {
#endif

#define BB_ESCL_SONAME "bb_escl-x86_32.so.3"

/* Scan-mode ids, shared by host and plug-in. */
enum bb_mode_id { BB_MODE_LINEART = 1, BB_MODE_GRAY = 2, BB_MODE_COLOR = 3 };

/* Input-source ids; also the index + 1 of the source_geometry blocks. */
enum bb_source_id {
  BB_SOURCE_FLATBED = 1,
  BB_SOURCE_ADF = 2,
  BB_SOURCE_DUPLEX = 3,
  BB_SOURCE_CAMERA = 4
};

#define BB_SOURCE_COUNT 4
#define BB_WORD_LIST_WORDS 32    /* count word + up to 31 values */
#define BB_IMAGE_BUFFER_SIZE 4000000
#define BB_DEVICE_URI_SIZE 256
#define BB_JOB_URL_SIZE 256
#define BB_DEVICE_IP_SIZE 36
#define BB_JOB_ID_SIZE 64
#define BB_CONTENT_TYPE_SIZE 64

/* Document formats a page can be asked in: the host decodes PNG and JPEG.
 * AUTO lets the plug-in choose (lossless PNG where offered, else JPEG). */
enum bb_transfer_format { BB_FORMAT_AUTO = 0, BB_FORMAT_PNG = 1, BB_FORMAT_JPEG = 2 };

/* Scan intents (scan:Intent).  DEFAULT lets the plug-in choose: Preview for
 * a preview, Document for line art and grey, Photo for colour, each where
 * the device lists it. */
enum bb_intent {
  BB_INTENT_DEFAULT = 0,
  BB_INTENT_DOCUMENT = 1,
  BB_INTENT_TEXT_AND_GRAPHIC = 2,
  BB_INTENT_PHOTO = 3,
  BB_INTENT_PREVIEW = 4,
  BB_INTENT_OBJECT = 5,
  BB_INTENT_BUSINESS_CARD = 6
};
#define BB_INTENT_COUNT 7

struct source_geometry {
  SANE_Word resolutions[BB_WORD_LIST_WORDS];
  SANE_Fixed min_width;
  SANE_Fixed min_height;
  SANE_Range tl_x_range;
  SANE_Range tl_y_range;
  SANE_Range br_x_range;
  SANE_Range br_y_range;
};

struct bb_session; /* the plug-in's private record */

struct host_session {
  char device_uri[BB_DEVICE_URI_SIZE];
  int32_t dd;
  char job_url[BB_JOB_URL_SIZE];
  char device_ip[BB_DEVICE_IP_SIZE];
  int32_t scan_interrupted;
  int32_t image_pixels_per_row;
  int32_t image_rows;
  SANE_Word gated_option_cap;
  SANE_String_Const source_names[BB_SOURCE_COUNT + 1];
  int32_t source_ids[BB_SOURCE_COUNT + 1];
  int32_t current_source;
  SANE_Word resolution_list[BB_WORD_LIST_WORDS];
  int32_t current_resolution;
  SANE_String_Const mode_names[4];
  int32_t mode_ids[4];
  int32_t current_mode;
  SANE_Fixed x_range_max;
  SANE_Fixed tl_x, tl_y, br_x, br_y;
  SANE_Fixed effective_tl_x, effective_tl_y, effective_br_x, effective_br_y;
  struct source_geometry source_geometry[BB_SOURCE_COUNT];
  int32_t image_count;
  unsigned char image_buffer[BB_IMAGE_BUFFER_SIZE];
  struct bb_session *bb_session;
  char job_id[BB_JOB_ID_SIZE];
  int32_t job_page_count;
  void *host_private; /* the host's own state; never touched by the plug-in */
  /* Set to non-zero by the host (from a signal handler or another thread
   * while an entry point runs) to ask for the scan to stop: every wait of
   * the plug-in looks at it and returns SANE_STATUS_CANCELLED within half a
   * second.  The host clears it before a scan starts. */
  volatile sig_atomic_t cancel_requested;
  /* Published by bb_open, one word per source block (index: source id - 1):
   * bit (1 << BB_FORMAT_x) for each format the host decodes that the device
   * offers there, bit (1 << BB_INTENT_x) for each intent it lists there. */
  uint32_t source_formats[BB_SOURCE_COUNT];
  uint32_t source_intents[BB_SOURCE_COUNT];
  /* Set by the host before bb_start_scan. */
  int32_t current_format; /* enum bb_transfer_format */
  int32_t current_intent; /* enum bb_intent */
  int32_t preview;        /* non-zero: a preview scan */
  /* Set by the plug-in once a page's answer is there: its Content-Type
   * (media type only), empty when the device sent none. */
  char page_content_type[BB_CONTENT_TYPE_SIZE];
};

/* Entry points.  Those returning SANE_Status report scanner conditions;
 * the others return 0 for success and 1 for failure unless noted. */

/* bb_open: 0, 1 when the capabilities could not be had, or this when they
 * name no input source (no platen, feeder or camera). */
#define BB_OPEN_NO_SOURCE 2
int bb_open(struct host_session *hs);
int bb_close(struct host_session *hs);
int bb_get_parameters(struct host_session *hs, SANE_Parameters *params, int32_t option);
/* Leaves at most len - 1 bytes of the status document in buf, always
 * followed by a NUL inside it, so the readers below stay within buf. */
SANE_Status bb_get_scanner_status(struct host_session *hs, char *buf, int32_t len);
SANE_Status bb_get_adf_state(struct host_session *hs, const char *status_doc);
int bb_get_url(struct host_session *hs, const char *response);
int bb_get_ImagesToTransfer(struct host_session *hs, const char *status_doc);
int bb_get_JobState(struct host_session *hs, const char *status_doc);
SANE_Status bb_check_scanner_to_continue(struct host_session *hs);
SANE_Status bb_post_scanjob(struct host_session *hs);
SANE_Status bb_get_scanjob(struct host_session *hs);
SANE_Status bb_start_scan(struct host_session *hs);
int bb_get_size(struct host_session *hs, int32_t timeout);
int bb_get_image_data(struct host_session *hs);
int bb_end_page(struct host_session *hs, int32_t error);
int bb_end_scan(struct host_session *hs, int32_t cancel);

/* Job-state codes reported by bb_get_JobState. */
enum bb_job_state {
  BB_JOB_CANCELED = 0,
  BB_JOB_ABORTED = 1,
  BB_JOB_COMPLETED = 2,
  BB_JOB_PENDING = 3,
  BB_JOB_PROCESSING = 4,
  BB_JOB_NOT_FOUND = 5
};

/* The entry table a host fills with dlsym(), in the order above. */
struct bb_escl_entry_table {
  int (*open)(struct host_session *);
  int (*close)(struct host_session *);
  int (*get_parameters)(struct host_session *, SANE_Parameters *, int32_t);
  SANE_Status (*get_scanner_status)(struct host_session *, char *, int32_t);
  SANE_Status (*get_adf_state)(struct host_session *, const char *);
  int (*get_url)(struct host_session *, const char *);
  int (*get_ImagesToTransfer)(struct host_session *, const char *);
  int (*get_JobState)(struct host_session *, const char *);
  SANE_Status (*check_scanner_to_continue)(struct host_session *);
  SANE_Status (*post_scanjob)(struct host_session *);
  SANE_Status (*get_scanjob)(struct host_session *);
  SANE_Status (*start_scan)(struct host_session *);
  int (*get_size)(struct host_session *, int32_t);
  int (*get_image_data)(struct host_session *);
  int (*end_page)(struct host_session *, int32_t);
  int (*end_scan)(struct host_session *, int32_t);
};

#ifdef __cplusplus
}
#endif

#endif /* BB_ESCL_H */
