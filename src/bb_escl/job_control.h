// Internal operations of scan job control that are not entry points.
#pragma once

struct host_session;

// Deletes a job the device stopped but still holds; called by bb_end_scan.
int bb_cancel_job(host_session *hs);
