/* ZalvoIntf: the receiver interface that a host SDR program loads.
 *
 * Six exported functions with C linkage (stdcall on 32-bit Windows) and two records. The host
 * fills a ReceiverSettings record and passes it to StartRx; the module calls the host back
 * through the two callbacks in it. See README.md ("Using the module from a host") for which
 * thread may call what, and when.
 *
 * Record layouts. On 32-bit targets the records are those of the Windows product: a 36-byte
 * ReceiverSettings and an 8-byte SdrInfo. On 64-bit targets the field offsets stay the same and
 * the pointer-sized fields widen: ReceiverSettings is 40 bytes, and SdrInfo's two fields take
 * its first 12 bytes. Fields not named here belong to the host; the module neither reads nor
 * writes them.
 */
#ifndef ZALVO_INTF_H
#define ZALVO_INTF_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define ZALVO_CALL __stdcall
#if defined(ZALVO_BUILDING_MODULE)
#define ZALVO_API /* exported by the module's export list, under the plain names only */
#else
#define ZALVO_API __declspec(dllimport)
#endif
#else
#define ZALVO_CALL
#if defined(ZALVO_BUILDING_MODULE)
#define ZALVO_API __attribute__((visibility("default")))
#else
#define ZALVO_API
#endif
#endif

#if UINTPTR_MAX == 0xFFFFFFFFu
#define ZALVO_POINTER_BITS 32
#else
#define ZALVO_POINTER_BITS 64
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Called on the module's worker thread with the address of eight block pointers. Pointers 0
 * to 3 address one block of each receiver: block-length complex samples as float I, Q pairs
 * (512, 1024 or 2048 samples at 48, 96 or 192 kHz). Pointers 4 to 7 address blocks that stay
 * all zeros. The blocks are valid only during the call. */
typedef void(ZALVO_CALL* ZalvoDataCallback)(intptr_t context, float** buffers);
/* Called on the thread that called StartRx, with one of the module's fixed texts. */
typedef void(ZALVO_CALL* ZalvoErrorCallback)(intptr_t context, const char* text);

typedef struct ReceiverSettings {
    intptr_t callback_context; /* passed unchanged to both callbacks */
#if ZALVO_POINTER_BITS == 32
    int32_t host_reserved_4;
#endif
    int32_t sample_rate_index; /* 0: 48 000 Hz, 1: 96 000 Hz, 2: 192 000 Hz */
    int32_t host_reserved_12;
    ZalvoDataCallback data_callback; /* or null: full blocks are dropped */
#if ZALVO_POINTER_BITS == 32
    uint8_t host_reserved_20[12];
#else
    uint8_t host_reserved_24[8];
#endif
    ZalvoErrorCallback error_callback; /* or null: failures go unreported */
} ReceiverSettings;

typedef struct SdrInfo {
    const char* device_name; /* "USRP device" */
    int32_t receiver_count;  /* 4 */
} SdrInfo;

#ifdef __cplusplus
#define ZALVO_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define ZALVO_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif

#if ZALVO_POINTER_BITS == 32
ZALVO_STATIC_ASSERT(offsetof(ReceiverSettings, callback_context) == 0, "context at 0");
ZALVO_STATIC_ASSERT(offsetof(ReceiverSettings, sample_rate_index) == 8, "rate index at 8");
ZALVO_STATIC_ASSERT(offsetof(ReceiverSettings, data_callback) == 16, "data callback at 16");
ZALVO_STATIC_ASSERT(offsetof(ReceiverSettings, error_callback) == 32, "error callback at 32");
ZALVO_STATIC_ASSERT(sizeof(ReceiverSettings) == 36, "36-byte settings record");
ZALVO_STATIC_ASSERT(offsetof(SdrInfo, device_name) == 0, "device name at 0");
ZALVO_STATIC_ASSERT(offsetof(SdrInfo, receiver_count) == 4, "receiver count at 4");
ZALVO_STATIC_ASSERT(sizeof(SdrInfo) == 8, "8-byte info record");
#else
ZALVO_STATIC_ASSERT(offsetof(ReceiverSettings, callback_context) == 0, "context at 0");
ZALVO_STATIC_ASSERT(sizeof(((ReceiverSettings*)0)->callback_context) == 8, "8-byte context");
ZALVO_STATIC_ASSERT(offsetof(ReceiverSettings, sample_rate_index) == 8, "rate index at 8");
ZALVO_STATIC_ASSERT(offsetof(ReceiverSettings, data_callback) == 16, "data callback at 16");
ZALVO_STATIC_ASSERT(offsetof(ReceiverSettings, error_callback) == 32, "error callback at 32");
ZALVO_STATIC_ASSERT(sizeof(ReceiverSettings) == 40, "40-byte settings record");
ZALVO_STATIC_ASSERT(offsetof(SdrInfo, device_name) == 0, "device name at 0");
ZALVO_STATIC_ASSERT(offsetof(SdrInfo, receiver_count) == 8, "receiver count at 8");
#endif

/* Fills info's two fields; a null info is ignored. Needs no device. */
ZALVO_API void ZALVO_CALL GetSdrInfo(SdrInfo* info);
/* Opens the first board, starts four receivers at 3.6 MHz and streams to data_callback.
 * A session still running is ended first. A null settings is ignored. */
ZALVO_API void ZALVO_CALL StartRx(const ReceiverSettings* settings);
/* Ends the session; returns once the worker has ended and the board is closed. */
ZALVO_API void ZALVO_CALL StopRx(void);
/* Tunes receiver 0..3 to frequency Hz; ignored without a session. */
ZALVO_API void ZALVO_CALL SetRxFrequency(int32_t frequency, int32_t receiver);
/* Does nothing. */
ZALVO_API void ZALVO_CALL SetCtrlBits(int32_t bits);
/* Returns 0. */
ZALVO_API int32_t ZALVO_CALL ReadPort(int32_t port);

#ifdef __cplusplus
}
#endif

#endif /* ZALVO_INTF_H */
