/*
 * session_format.h - layout of a session file, as the recorder writes it and
 * the stand-in core replays it. docs/session-file.md describes the format;
 * qvcore_session.py reads it. All integers are little-endian.
 *
 *   header  magic[8] version:u16 flags:u16 header_len:u32
 *           wall_ns:i64 mono_ns:i64 pid:u32 function_count:u16
 *           function_count x (name_len:u8 name)  core_path_len:u16 core_path
 *   frames  body_len:u32 adler32(body):u32 body[body_len]   (until the end)
 *   body    kind:u8 flags:u8 fn:u16 thread:u32 start_ns:i64 duration_ns:i64 rest
 *
 * Frames are in the order they were committed, one sequence for all threads,
 * so each thread's frames keep their order and threads interleave by time.
 * Version 1 files are read as well: they have no LOST frames and no flags.
 */
#ifndef QV_SESSION_FORMAT_H
#define QV_SESSION_FORMAT_H

#ifdef __cplusplus
extern "C" {
#endif

#define QVS_MAGIC "\x89QVSESS\n"
#define QVS_MAGIC_LEN 8
#define QVS_VERSION 2

#define QVS_FRAME_PREFIX 8 /* body_len:u32 adler32:u32 */
#define QVS_BODY_FIXED 24  /* kind, 0, fn, thread, start_ns, duration_ns */

/* Frame kinds. A call or an event with nothing recorded inside it is one
 * complete frame written when it ends; one with calls or events inside is an
 * OPEN frame written before the first of them and a CLOSE frame when it ends. */
enum qvs_kind {
    QVS_CALL = 1,        /* result outputs args */
    QVS_CALL_OPEN = 2,   /* args */
    QVS_CALL_CLOSE = 3,  /* result outputs */
    QVS_EVENT = 4,       /* event */
    QVS_EVENT_OPEN = 5,  /* event */
    QVS_EVENT_CLOSE = 6, /* nothing */
    QVS_LOST = 7,        /* frames:u64 bytes:u64 depth:u32 (see below) */
};

/* flags, bit by bit. */
enum qvs_flag {
    QVS_FLAG_MSG_NULL = 1, /* EVENT, EVENT_OPEN: the core passed a null msg_type (the text is empty) */
};

/* LOST: frames this thread dropped because its buffer was full (the writer
 * could not keep up, or the disk stalled). fn is 0; start_ns is when the
 * first was dropped and duration_ns spans to the last. It stands where the
 * gap is in the thread's order: after the last frame recorded before the
 * loss. depth is how many of the thread's OPEN frames in the file are still
 * open after the gap (a lost CLOSE frame ends its item): a reader trims the
 * thread's nesting to it. */

/* args: count:u8, then per argument tag:u8 and its value. */
enum qvs_arg {
    QVS_ARG_INT = 1,      /* i64 */
    QVS_ARG_DOUBLE = 2,   /* f64 */
    QVS_ARG_BOOL = 3,     /* u8 */
    QVS_ARG_TEXT = 4,     /* len:u32 bytes, then a NUL */
    QVS_ARG_NULL = 5,     /* a null const char* */
    QVS_ARG_REDACTED = 6, /* original_len:u32 len:u32 "<redacted: N bytes>", then a NUL */
    QVS_ARG_BUFFER = 7,   /* req_len:i32 has_bytes:u8 [req_len bytes] */
    QVS_ARG_OUT = 8,      /* non_null:u8, an out-parameter (its address is not kept) */
    QVS_ARG_FN = 9,       /* non_null:u8, a function pointer */
};

/* result: tag:u8 and its value (texts as QVS_ARG_TEXT/NULL/REDACTED). */
enum qvs_result {
    QVS_RESULT_VOID = 0,
    QVS_RESULT_INT = 1,    /* i64: an int or long long result */
    QVS_RESULT_DOUBLE = 2, /* f64 */
    QVS_RESULT_TEXT = 4,
    QVS_RESULT_NULL = 5,
    QVS_RESULT_REDACTED = 6,
};

/* outputs, after the result: tag:u8 and its value. Written only when the
 * status is 0 (success): a caller reads them then only. */
enum qvs_output {
    QVS_OUT_NONE = 0,     /* nothing read */
    QVS_OUT_RESPONSE = 1, /* res_null:u8 res_len:i32 [res_len bytes when res is not null and res_len > 0] */
    QVS_OUT_TEXT = 2,     /* a char** out-parameter: a text as QVS_ARG_TEXT/NULL */
};

/* event: msg_len:u32 msg, then a NUL; data_len:i32 data_null:u8 [data_len bytes when
 * data is not null and data_len > 0] */

#ifdef __cplusplus
}
#endif

#endif /* QV_SESSION_FORMAT_H */
