/*
 * kvchan: byte channels to a scanner.  A host opens a device from its URI
 * and gets a descriptor; the plug-in opens named channels on it
 * ("KV-ESCL-SCAN", "KV-EWS-NDAT"), writes requests and reads responses.
 *
 * Results: 0 success; KVCHAN_E_AGAIN (49), KVCHAN_E_BUSY (12) and
 * KVCHAN_E_INTR (50) are transient conditions a reader may retry; any other
 * value is an error.
 */
#ifndef KVCHAN_H
#define KVCHAN_H

#ifdef __cplusplus
extern "C" {
#endif

#define KVCHAN_OK 0
#define KVCHAN_E_AGAIN 49
#define KVCHAN_E_BUSY 12
/* A signal interrupted the wait for data: nothing was lost, retry at once. */
#define KVCHAN_E_INTR 50

/* Failures.  Each one is also logged (syslog level 3, "kvchan: ..."). */
#define KVCHAN_E_INVALID 1      /* bad argument, or a device URI that is refused */
#define KVCHAN_E_NO_DEVICE 2    /* the descriptor names no open device */
#define KVCHAN_E_NO_CHANNEL 3   /* the number names no open channel of the device */
#define KVCHAN_E_UNKNOWN_NAME 4 /* the device offers no channel of that name */
#define KVCHAN_E_CONNECT 5      /* the device cannot be reached */
#define KVCHAN_E_IO 6           /* the connection failed */
#define KVCHAN_E_CLOSED 7       /* the device closed the connection */
#define KVCHAN_E_TIMEOUT 8      /* a write did not finish within its time limit */
#define KVCHAN_E_CANCELLED 9    /* the host's wake-up descriptor ended the wait */

/* Channel names.  Each channel is a TCP (or TLS) connection of its own to the device. */
#define KVCHAN_CHANNEL_ESCL_SCAN "KV-ESCL-SCAN"
#define KVCHAN_CHANNEL_EWS_NDAT "KV-EWS-NDAT"

/* Calls the plug-in makes. */
int kvchan_open_channel(int dd, const char *name, int *channel);
int kvchan_read_channel(int dd, int channel, void *data, int size, int sectime, int *bytes_read);
int kvchan_write_channel(int dd, int channel, const void *data, int size, int sectime,
                         int *bytes_written);
int kvchan_close_channel(int dd, int channel);

/* Calls a host makes around them.  The URI is "http://HOST[:PORT][/...]"
 * or "https://HOST[:PORT][/...]" with a host name, an IPv4 address or a
 * bracketed IPv6 address (a zone written "%25zone"); the port is 80 (443
 * for https) when none is given, and whatever follows the host and port is
 * ignored.  An https channel makes a TLS handshake (1.2 or newer, the host
 * name as SNI) within the connect limit each time it connects.  Opening a device only checks the
 * URI; each channel connects when it is opened.  Closing a device closes
 * its channels. */
int kvchan_open_device(const char *uri, int *dd);
int kvchan_close_device(int dd);

/* How https devices are trusted, for the whole process; a host sets it
 * from its configuration before it opens devices.
 *   KVCHAN_TLS_PIN     (the default) the public key a device shows first is
 *                      remembered in $XDG_STATE_HOME/bbescl/known-devices
 *                      (else ~/.local/state/bbescl/..., for a user without a
 *                      home /var/lib/bbescl/...); a device showing another
 *                      key later is refused before anything is sent to it,
 *                      with both keys and the file named in the log
 *   KVCHAN_TLS_SYSTEM  the certificate must verify against the system's
 *                      certificate store, for the URI's host
 *   KVCHAN_TLS_OFF     any certificate is accepted (said in the debug log)
 * Returns KVCHAN_E_INVALID for any other value. */
#define KVCHAN_TLS_PIN 0
#define KVCHAN_TLS_SYSTEM 1
#define KVCHAN_TLS_OFF 2
int kvchan_set_tls_verify(int mode);

/* Whether an https device was refused, since it was opened, for showing
 * another key than the one remembered: 1 with the refusal (naming the
 * device, both keys and the file to edit) in `text`, cut to `size` bytes
 * with its terminating NUL; 0 when it was not; a negated failure code
 * otherwise.  A host shows it to its user: the refusal is a security matter
 * only they can settle. */
int kvchan_key_refusal(int dd, char *text, int size);

/* A host's wake-up descriptor for a device: every wait of the device's
 * channels (connect, TLS handshake, read, write) also watches `fd`, and
 * ends with KVCHAN_E_CANCELLED as soon as it is readable; nothing is read
 * from it.  The host makes it readable (an eventfd or a pipe, written from
 * any thread or a signal handler) to end a blocked exchange at once, and
 * empties it before it talks to the device again.  -1 removes it. */
int kvchan_set_wake_fd(int dd, int fd);

/* A short exchange outside any device descriptor, for what a host asks a
 * device itself (its capabilities while devices are listed, where a plain
 * device has moved to): connects to the device of `uri` (trusted, for
 * https, as kvchan_set_tls_verify says; a device refused for its key is
 * refused and logged as for a channel), sends the `request_size` bytes of
 * `request` and reads the answer, head and body as they come, into
 * `answer` until the device closes, the text `enough` (NULL or "" for
 * none) appears in it, `answer_size` bytes have come or `millis`
 * milliseconds have passed since the call.  *answer_length is what came.
 * 0 once the request went out, whatever came back; KVCHAN_E_INVALID (a bad
 * argument or a URI that is refused), KVCHAN_E_CONNECT (not reached, or
 * not trusted) or KVCHAN_E_IO (the request could not be sent) otherwise.
 * Unlike the calls above, its failures are not logged: a listing asks
 * devices that may well be off. */
int kvchan_request(const char *uri, const void *request, int request_size, const char *enough,
                   int millis, char *answer, int answer_size, int *answer_length);

/* A device URI as kvchan_open_device reads it, for a host that matches
 * URIs naming one device: the host, ready to connect to (an IPv6 address
 * without brackets, a zone as "%zone"), into `host` cut to `host_size`
 * bytes with its NUL; the port (80 or 443 when none is written); `tls` 1
 * for https, else 0.  Any of the three places may be NULL.
 * KVCHAN_E_INVALID, not logged, for a URI that kvchan_open_device refuses
 * or a host that does not fit. */
int kvchan_parse_uri(const char *uri, char *host, int host_size, int *port, int *tls);

/* The number of channels open on a device, for a host's diagnostics (and
 * its tests: a plug-in that closes its channels leaves 0 between scans). */
int kvchan_channel_count(int dd, int *count);

#ifdef __cplusplus
}
#endif

#endif /* KVCHAN_H */
