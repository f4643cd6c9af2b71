/*
 * kvchan: byte channels to a scanner.  A host opens a device from its URI
 * and gets a descriptor; the plug-in opens named channels on it
 * ("KV-ESCL-SCAN", "KV-EWS-NDAT"), writes requests and reads responses.
 *
 * Results: 0 success; KVCHAN_E_AGAIN (49) and KVCHAN_E_BUSY (12) are
 * transient conditions a reader may retry; any other value is an error.
 */
#ifndef KVCHAN_H
#define KVCHAN_H

#ifdef __cplusplus
extern "C" {
#endif

#define KVCHAN_OK 0
#define KVCHAN_E_AGAIN 49
#define KVCHAN_E_BUSY 12

/* Calls the plug-in makes. */
int kvchan_open_channel(int dd, const char *name, int *channel);
int kvchan_read_channel(int dd, int channel, void *data, int size, int sectime, int *bytes_read);
int kvchan_write_channel(int dd, int channel, const void *data, int size, int sectime,
                         int *bytes_written);
int kvchan_close_channel(int dd, int channel);

/* Calls a host makes around them. */
int kvchan_open_device(const char *uri, int *dd);
int kvchan_close_device(int dd);

#ifdef __cplusplus
}
#endif

#endif /* KVCHAN_H */
