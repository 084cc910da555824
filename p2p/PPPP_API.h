/* The P2P transport library: reaches a device by its identifier (DID) through the
 * zevo-p2pd rendezvous/relay service and carries numbered, reliable, in-order byte
 * channels between the two peers. C linkage and plain types only.
 *
 * Channels: each session carries channels 0..7; each channel is a byte stream in
 * each direction. A read may deliver part of what the peer wrote and the rest later.
 *
 * Threads: every call may be made from any thread. On one session, reads on different
 * channels, writes and a close may run at the same time; a close releases every read
 * blocked on that session at once (they return PPPP_ERR_CLOSED_HERE).
 */
#ifndef ZEVO_PPPP_API_H
#define ZEVO_PPPP_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define PPPP_EXPORT __attribute__((visibility("default")))
#else
#define PPPP_EXPORT
#endif

/* Result codes. 0 or more is success; every negative value is one of these. */
#define PPPP_OK 0
#define PPPP_ERR_NOT_INITIALIZED -1     /* PPPP_Initialize has not succeeded */
#define PPPP_ERR_ALREADY_INITIALIZED -2 /* reserved: a second PPPP_Initialize returns 0 */
#define PPPP_ERR_TIMEOUT -3             /* the timeout ran out; a read's size says what arrived */
#define PPPP_ERR_INVALID_DID -4         /* the DID text is empty, too long or malformed */
#define PPPP_ERR_INVALID_PARAMETER -5   /* a pointer is null, a channel or size out of range */
#define PPPP_ERR_DEVICE_OFFLINE -6      /* the service knows no device online under this DID */
#define PPPP_ERR_SERVICE_UNREACHABLE -7 /* no rendezvous service answered */
#define PPPP_ERR_BAD_INIT_STRING                                                                  \
    -8                               /* the initialisation string is malformed or fails its check \
                                      */
#define PPPP_ERR_NO_PATH -9          /* neither a direct path nor the relay reached the device */
#define PPPP_ERR_NO_RELAY -10        /* no direct path opened and the service offers no relay */
#define PPPP_ERR_INVALID_SESSION -11 /* the handle names no session */
/* Session-ended codes. A read returns -12 or -13 only once every byte the peer sent
 * before the end has been read; -14 is returned at once, buffered bytes or not. */
#define PPPP_ERR_CLOSED_BY_PEER                               \
    -12 /* the session ended: the peer closed it (PPPP_Close, \
           PPPP_DeviceStop or PPPP_DeInitialize there) */
#define PPPP_ERR_PEER_SILENT                                  \
    -13 /* the session ended: nothing heard from the peer for \
           3 to 7 seconds (peer killed, network gone) */
#define PPPP_ERR_CLOSED_HERE                                                                   \
    -14                                   /* the session ended: PPPP_Close, PPPP_DeviceStop or \
                                             PPPP_DeInitialize was called on this side */
#define PPPP_ERR_TOO_MANY_SESSIONS -17    /* a local or service limit on sessions was reached */
#define PPPP_ERR_BIND_FAILED -18          /* no local UDP socket could be opened */
#define PPPP_ERR_NO_MEMORY -20            /* an allocation failed */
#define PPPP_ERR_REGISTRATION_REFUSED -22 /* the service refused the device's secret */
#define PPPP_ERR_DID_IN_USE -23           /* another device holds this DID at the service */
/* From PPPP_Connect: the device could not prove it owns the DID. Whatever answered for it
 * failed the session handshake (another key, a certificate no trusted service key signed,
 * one for another DID or out of date), or the service holds no key for the device while
 * this viewer trusts service keys; and at once when this viewer trusts no service key at
 * all and was not told to run unsealed (ZEVO_P2P_INSECURE_TRANSPORT). */
#define PPPP_ERR_DEVICE_NOT_AUTHENTIC -24

/* What PPPP_Check reports about a session: 84 bytes. Peer port (bytes 6-7) and IPv4
 * address (bytes 8-11) are in network byte order: the device in direct mode, the
 * relay in relay mode. Bytes 4-19 form a struct sockaddr_in of the peer. */
#define PPPP_MODE_DIRECT 0
#define PPPP_MODE_RELAY 1
typedef struct SessionInfo {
    int32_t socket;               /* 0-3: the session's UDP socket descriptor */
    unsigned char remote[16];     /* 4-19: sockaddr_in of the peer (or relay) */
    unsigned char local[16];      /* 20-35: sockaddr_in of this side's socket */
    unsigned char publicAddr[16]; /* 36-51: this side's address as the service saw it */
    uint32_t connectSeconds;      /* 52-55: seconds since the session opened */
    char did[24];                 /* 56-79: the device identifier, NUL-terminated */
    unsigned char isDevice;       /* 80: 0 on the viewer side, 1 on the device side */
    unsigned char mode;           /* 81: PPPP_MODE_DIRECT or PPPP_MODE_RELAY */
    unsigned char reserved[2];    /* 82-83 */
} SessionInfo;

/* Starts the library. initString: 90 letters 'A'..'P' and a NUL naming the service's
 * endpoints, or 154 (version 2) also naming the service key devices are vouched for with,
 * which the viewer then trusts (see p2p/PROTOCOL.md for the encoding). The environment variable
 * ZEVO_P2P_SERVER ("host:port[,host:port...]"), when set, replaces the endpoints the
 * string names, so tests, the demo and deployments can point the library elsewhere; a
 * malformed value fails like a bad string. ZEVO_P2P_LOG=1 logs the library's steps to
 * standard error. `zevo-p2pd --init-string host:port[,host:port]` prints a string.
 * ZEVO_P2P_SERVICE_KEYS names a pinned-key file (p2p/PROTOCOL.md, "Session security");
 * when it is not set, the viewer reads every one of $XDG_CONFIG_HOME/zevo/service-keys
 * (~/.config/zevo/service-keys without XDG_CONFIG_HOME) and /etc/zevo/service-keys that
 * exists. With keys every session runs the handshake and must prove the device's key, or
 * the connect fails with PPPP_ERR_DEVICE_NOT_AUTHENTIC; with none every connect fails so
 * (said once on standard error). ZEVO_P2P_INSECURE_TRANSPORT=1 lets a viewer with no key
 * connect unsealed, and a device that holds a certificate also take viewers that do not
 * run the handshake.
 * Returns 0, or PPPP_ERR_BAD_INIT_STRING (also for a pinned-key file that cannot be read
 * or is not valid). Calling it again while initialised returns 0. */
PPPP_EXPORT int32_t PPPP_Initialize(const char* initString);

/* Closes every session and device registration and stops the library. Returns 0. */
PPPP_EXPORT int32_t PPPP_DeInitialize(void);

/* Viewer side: opens a session to the device registered under did.
 * tryDirect: 1 tries a direct path (hole punching) first and falls back to the relay;
 *            0 goes through the relay at once.
 * localPort: the local UDP port to use, 0 for any.
 * Returns the session handle (0 or more) or a negative code: PPPP_ERR_DEVICE_OFFLINE
 * (the service knows no live device: answered well within a second for an unknown DID),
 * PPPP_ERR_SERVICE_UNREACHABLE (no answer within 3 s), PPPP_ERR_NO_RELAY,
 * PPPP_ERR_NO_PATH, PPPP_ERR_TOO_MANY_SESSIONS, PPPP_ERR_BIND_FAILED (localPort taken),
 * PPPP_ERR_DEVICE_NOT_AUTHENTIC.
 * Blocks for at most about 8 seconds. A handle stays valid until PPPP_Close, also after
 * the session has ended; calls on a closed handle return PPPP_ERR_CLOSED_HERE. */
PPPP_EXPORT int32_t PPPP_Connect(const char* did, char tryDirect, uint32_t localPort);

/* Fills info (which the caller zeroes) for an open session. Returns 0, or the
 * session-ended code once the session has ended, or another negative code. */
PPPP_EXPORT int32_t PPPP_Check(int32_t session, SessionInfo* info);

/* The session's end-to-end security: whether its datagrams travel sealed, and the
 * datagrams it dropped by cause (none of them ends the session). */
typedef struct SessionSecurity {
    uint32_t sealed;    /* 1 after the handshake: every datagram sealed both ways */
    uint32_t reserved;
    uint64_t malformed; /* not a well-formed secure datagram */
    uint64_t badTag;    /* altered, forged, or sealed under another key */
    uint64_t replay;    /* a counter already received */
    uint64_t tooOld;    /* a counter behind the replay window */
    uint64_t staleKey;  /* sealed under a key epoch no longer held */
    uint64_t handshake; /* handshake messages refused or out of place */
    uint64_t stranger;  /* secure datagrams from an address the session never proved */
    uint64_t unsealed;  /* plain datagrams on a session that seals */
} SessionSecurity;

/* Fills info for a session (open or ended). Returns 0 or a negative code. */
PPPP_EXPORT int32_t PPPP_Check_Security(int32_t session, SessionSecurity* info);

/* Reads *size bytes from a channel into buffer. Waits until all have arrived, the
 * timeout (milliseconds; -1 waits for ever) runs out, or the session ends. On return
 * *size holds the bytes delivered. Returns 0 when all arrived, PPPP_ERR_TIMEOUT with a
 * partial *size, or a session-ended code (-12, -13, -14) once the session has ended
 * and no buffered byte is left for this channel. */
PPPP_EXPORT int32_t PPPP_Read(int32_t session, unsigned char channel, char* buffer, int32_t* size,
                              int32_t timeoutMs);

/* Queues size bytes on a channel. Returns size (greater than 0) when accepted, or a
 * negative code (a size of 0 is PPPP_ERR_INVALID_PARAMETER). Waits while 4 MiB of the
 * channel are written and not yet read by the peer; a session end releases the wait. */
PPPP_EXPORT int32_t PPPP_Write(int32_t session, unsigned char channel, const char* buffer,
                               int32_t size);

/* Bytes waiting to be read here on a channel (readable) and bytes written here that
 * the peer has not yet read (unsent: queued, in flight, or waiting in the peer's buffer).
 * Either pointer may be null. Returns 0 or a negative code. */
PPPP_EXPORT int32_t PPPP_Check_Buffer(int32_t session, unsigned char channel, uint32_t* unsent,
                                      uint32_t* readable);

/* Ends a session; reads blocked on it return at once. Returns 0 or a negative code. */
PPPP_EXPORT int32_t PPPP_Close(int32_t session);

/* Device side. Registers did at the service with its secret, 64 hex digits (the operator
 * issues it; `zevo-p2pd --device-secret DID` prints it), and keeps the registration alive,
 * registering again by itself if the service forgets it. Returns a device handle (0 or
 * more), PPPP_ERR_REGISTRATION_REFUSED for a wrong secret, PPPP_ERR_DID_IN_USE when
 * another live device holds the DID (it is freed when that device stops or has been
 * silent for a few seconds), PPPP_ERR_INVALID_PARAMETER for a malformed secret,
 * PPPP_ERR_SERVICE_UNREACHABLE, or another code. Blocks for at most about 4 seconds. */
PPPP_EXPORT int32_t PPPP_DeviceStart(const char* did, const char* secret);

/* Waits for the next viewer session on a registered device (timeout in ms, -1 for ever).
 * Returns the session handle (0 or more; used with PPPP_Read, PPPP_Write, PPPP_Check and
 * PPPP_Close like a viewer's), PPPP_ERR_TIMEOUT, or PPPP_ERR_CLOSED_HERE when the device
 * was stopped. Up to 16 opened sessions wait for an accept; more are refused. */
PPPP_EXPORT int32_t PPPP_Accept(int32_t device, int32_t timeoutMs);

/* Withdraws the registration and closes the device's sessions. Returns 0. */
PPPP_EXPORT int32_t PPPP_DeviceStop(int32_t device);

#ifdef __cplusplus
}
#endif

#endif /* ZEVO_PPPP_API_H */
