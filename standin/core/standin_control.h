/*
 * standin_control.h - control interface of the stand-in core library.
 *
 * Tests use these functions (through ctypes, see qvcore_standin.py) to
 * program what the core functions return, to queue events and to read the
 * log of every core call. They are not part of the core library's C
 * interface and a real zadiv3-e.so does not have them.
 *
 * Defaults, restored by standin_reset():
 *   - int-returning core functions return 0;
 *   - response functions write their own name as the response bytes;
 *   - const char* getters return their own name; qvi_strerror(n) returns
 *     "stand-in error <n>"; qvi_get_serv_addr(id, &a) writes "addr:<id>";
 *   - qvi_now() = 1700000000000, qvi_now_plus() = 1700000000.5;
 *   - stop error code 0, stop flag cleared, event queue empty;
 *   - call log empty and switched on.
 * standin_reset() keeps the registered event callback: a module registers
 * it once, when it is loaded, and tests reset between cases. It ends a
 * replay (see below) without checking it.
 *
 * Asking. The stand-in answers only a process that asked for it: one that
 * called standin_ask() (qvcore_standin.Core() does), started a replay with
 * standin_replay_start() (a request for the stand-in's answers too), or
 * runs with the environment variable QVCORE_STANDIN=1 (or on, yes, true;
 * read at the first call that returns a status). In any other process every
 * core function that returns a status returns STANDIN_REFUSED, writes no
 * out-parameter and delivers no event; the others (clocks, texts, the
 * callback registration) answer as usual. The first refusal prints one line
 * to stderr naming this file. Control functions always work.
 *
 * The control functions are thread-safe. Programming a function while other
 * threads are inside core calls is safe too, but standin_reset() frees
 * programmed responses and must not race with core calls in other threads.
 */
#ifndef STANDIN_CONTROL_H
#define STANDIN_CONTROL_H

#ifdef __cplusplus
extern "C" {
#endif

/* Results of the programming functions. */
#define STANDIN_OK 0
#define STANDIN_UNKNOWN_FUNCTION (-1) /* no core function of that name */
#define STANDIN_NOT_APPLICABLE (-2)   /* the function has no such value */
#define STANDIN_BAD_ARGUMENT (-3)

/* Bits of standin_function_caps(). */
#define STANDIN_CAP_STATUS 1   /* returns int */
#define STANDIN_CAP_RESPONSE 2 /* writes (void** res, int* res_len) */
#define STANDIN_CAP_TEXT 4     /* returns const char* */
#define STANDIN_CAP_OUT_TEXT 8 /* writes a char** out-parameter */

/* The status every core function returning one gets in a process that did
 * not ask for the stand-in. */
#define STANDIN_REFUSED (-1001)

void standin_ask(void);
int standin_asked(void); /* 1 when the calls are answered, 0 when refused */

void standin_reset(void);

/* Call log. standin_log_enable returns the previous state (0/1). The JSON
 * text stays valid until the calling thread calls standin_log_json again. */
int standin_log_enable(int on);
void standin_log_clear(void);
long long standin_log_size(void);
const char* standin_log_json(void);

/* The core functions, in header order. */
int standin_function_count(void);
const char* standin_function_name(int index); /* null when out of range */
int standin_function_caps(const char* fn);    /* STANDIN_UNKNOWN_FUNCTION */

/* Programming, by core function name. */
int standin_set_status(const char* fn, int value);
int standin_set_response(const char* fn, const void* data, int len);
/* Keeps the current response bytes; has_length=0 writes their length. For
 * qvi_get_serv_addr only null_pointer and write apply. */
int standin_set_response_raw(const char* fn, int null_pointer, int has_length, int length, int write);
int standin_set_text(const char* fn, const char* text); /* text may be null */
void standin_set_now(long long value);
void standin_set_now_plus(double value);
void standin_set_stop_error_code(int code);

/* Events. The message is delivered NUL-terminated; data points at the
 * payload (zero-padded up to data_len) or is null when null_data is set.
 * msg_type null with msg_len STANDIN_NULL_MSG_TYPE delivers a null msg_type.
 * While a replay is on, queued events are ignored: standin_queue_event drops
 * them and standin_deliver_from_thread delivers nothing. */
#define STANDIN_NULL_MSG_TYPE (-1)
int standin_queue_event(const void* msg_type, int msg_len, const void* payload, int payload_len, int data_len,
                        int null_data);
int standin_queued(void);
/* Delivers the events queued now from a new native thread, joined before
 * returning; returns how many reached the callback. */
int standin_deliver_from_thread(void);
unsigned long long standin_callback_address(void);

/* Replay of a session file written by the recording shim. While it is on,
 * every core function answers from the file, in recorded order, and the
 * recorded events are delivered where they happened; programmed replies and
 * queued events are left alone. A call that the recording does not have at
 * that point, or a LOST frame (the recording has a gap there), stops the
 * replay: it and every later call get
 * STANDIN_REPLAY_DIVERGED (texts "<replay diverged>"), a running qvi_run
 * returns, and standin_replay_divergence tells where and what. */
#define STANDIN_REPLAY_DIVERGED (-1000)
/* Reads session files of version 1 and 2. STANDIN_OK, or STANDIN_BAD_ARGUMENT
 * with standin_replay_error() telling why. A replay that starts asks for the
 * stand-in (standin_ask()). Any file is safe to replay: a malformed frame, or
 * calls and events nested deeper than the replay follows (1000 open at once),
 * stops the replay like a divergence.
 * paced: wait until each call and event is as far from the start as recorded. */
int standin_replay_start(const char* path, int paced);
/* Delivers the events recorded after the last call, checks that the whole
 * recording was used and ends the replay: 0 when it matched, 1 when it diverged. */
int standin_replay_finish(void);
int standin_replay_active(void);
/* part 0: the position, 1: what was recorded there, 2: what came; null before a divergence. */
const char* standin_replay_divergence(int part);
const char* standin_replay_error(void);
long long standin_replay_frames(void); /* frames used so far */

/* A normalizer of requests: called for each request argument (bytes with a
 * length) the replay compares, with the function's name and the recorded
 * and live bytes. It returns STANDIN_SAME or STANDIN_DIFFERENT after
 * comparing them in its own terms (a changing id or time left out),
 * STANDIN_UNNORMALIZED to have the bytes compared as they are, or
 * STANDIN_NORMALIZER_FAILED (the replay diverges there). Null: none. It
 * runs on the calling thread, inside the core call. */
#define STANDIN_SAME 1
#define STANDIN_DIFFERENT 0
#define STANDIN_UNNORMALIZED 2
#define STANDIN_NORMALIZER_FAILED (-1)
typedef int (*standin_normalizer)(const char* fn, const char* recorded, int recorded_len, const char* live,
                                  int live_len);
void standin_replay_set_normalizer(standin_normalizer normalizer);
/* At a divergence on a request's bytes: the recorded one (0) or the live one
 * (1), its length in *len; null when the divergence was not that. */
const char* standin_replay_divergent_request(int which, int* len);
/* Called once, on the calling thread, when the replay diverges (so that
 * the controller can note where the code under test was). Null: none. */
void standin_replay_set_divergence_hook(void (*hook)(void));

#ifdef __cplusplus
}
#endif

#endif /* STANDIN_CONTROL_H */
