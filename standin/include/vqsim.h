/*
 * vqsim: control interface of the stand-in SDK library (libvqsdk.so built
 * from standin/).  Tests use it to script what the SDK functions return and
 * to read back how they were called; standin/python/vqsim.py wraps it.
 *
 * Functions are named by their SDK name ("vqi_get_cash_pb").  Calls taking a
 * name return VQSIM_UNKNOWN_FUNCTION (-1) for a name the SDK does not have,
 * VQSIM_NOT_APPLICABLE (-2) when the function has no such feature (a status
 * for a void function, a response for a text function, ...) and
 * VQSIM_INVALID_ARGUMENT (-3) for bad lengths or modes; 0 on success.
 *
 * Everything passed in is copied; no caller pointer is kept.
 */
#ifndef VQSIM_H
#define VQSIM_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(VQSDK_BUILDING)
#define VQSIM_API __attribute__((visibility("default")))
#else
#define VQSIM_API
#endif

#define VQSIM_OK 0
#define VQSIM_UNKNOWN_FUNCTION (-1)
#define VQSIM_NOT_APPLICABLE (-2)
#define VQSIM_INVALID_ARGUMENT (-3)

/* Modes of vqsim_break. */
#define VQSIM_BREAK_NONE 0            /* behave normally again */
#define VQSIM_BREAK_NULL_RESPONSE 1   /* success, *res = NULL, *res_len = length (> 0) */
#define VQSIM_BREAK_NEGATIVE_LENGTH 2 /* success, *res = response, *res_len = length (< 0) */
#define VQSIM_BREAK_NULL_TEXT 3       /* text function returns NULL; vqi_get_serv_addr: success, *addr = NULL */

/* Back to the initial state: no recorded calls, recording on, all statuses 0,
 * default responses and texts, no breaks, wall clock, no queued events, stop
 * flag cleared.  The registered event callback is kept. */
VQSIM_API void vqsim_reset(void);

/* Recording of SDK calls (on initially). */
VQSIM_API void vqsim_set_recording(int on);
VQSIM_API void vqsim_clear_calls(void);

/* Number of recorded calls of `fn` (NULL: of all functions), or -1. */
VQSIM_API long long vqsim_call_count(const char* fn);

/*
 * Recorded calls of `fn` (NULL: all, in call order) as JSON text:
 *   [{"fn": "<name>", "args": [<arg>, ...]}, ...]
 * with one <arg> per C parameter, in C order:
 *   ["n"]          NULL string or request buffer
 *   ["b", "<hex>"] string up to its NUL, or request buffer of req_len bytes
 *   ["i", <n>]     int, long long, void* value, callback address
 *   ["f", "<x>"]   double, shortest round-trip text ("inf", "nan" included)
 *   ["t", <bool>]  bool
 *   ["on"] / ["os"] char** out-parameter that held NULL / non-NULL on entry
 *   ["m"]          int* out-parameter
 * A NULL char** or int* itself is recorded as ["n"].
 * With last_only set only the last matching call is listed.
 * The text stays valid until the calling thread calls this again; NULL for
 * an unknown name.
 */
VQSIM_API const char* vqsim_calls_json(const char* fn, int last_only);

/* Status returned by an int function from now on.  Setting one for vqi_poll
 * replaces its 1/0 result (it still delivers an event). */
VQSIM_API int vqsim_set_status(const char* fn, int status);

/* Response handed out by a request/response function (copied; len >= 0). */
VQSIM_API int vqsim_set_response(const char* fn, const char* data, int len);

/* Text of a text function or the address of vqi_get_serv_addr; NULL
 * restores the default.  A text for vqi_strerror serves every errorno. */
VQSIM_API int vqsim_set_text(const char* fn, const char* text);

/* Fixed values for vqi_now (ms) and vqi_now_plus (s); or the wall clock. */
VQSIM_API void vqsim_set_clock(long long now, double now_plus);
VQSIM_API void vqsim_use_wall_clock(void);

/* Appends an event for vqi_run / vqi_poll.  text may be NULL; max(count, 0)
 * bytes of data are copied (none if data is NULL), count is delivered as
 * given. */
VQSIM_API void vqsim_queue_event(const char* text, const char* data, int count);

/* Calls the registered callback now with a copy of the event; 1 if there was
 * a callback to call, else 0. */
VQSIM_API int vqsim_fire_event(const char* text, const char* data, int count);

VQSIM_API int vqsim_pending_events(void);

/* Makes `fn` break the SDK's contract, see VQSIM_BREAK_*. */
VQSIM_API int vqsim_break(const char* fn, int mode, int length);

/* Address of the registered event callback (0 if none). */
VQSIM_API unsigned long long vqsim_callback_address(void);

#ifdef __cplusplus
}
#endif

#endif /* VQSIM_H */
