// SPDX-License-Identifier: MIT
/** @file
 * Vornlib's C interface: the two conversion entry points, and configurations to hand them.
 *
 * Plain C (C11). Nothing here keeps global state: every failure comes back through a return
 * value or a block. No C++ exception crosses this interface. */
#ifndef VORNLIB_VORNEX_H
#define VORNLIB_VORNEX_H

#include <stdint.h>

#include "vornlib/export.h"

#ifdef __cplusplus
extern "C" {
#endif

/** A conversion configuration (the C face of Vornex::Config). Opaque; made by
 * vornex_config_create, released by vornex_config_release. */
typedef struct VornexConfig VornexConfig;

/** Which engine a configuration asks for. */
typedef enum VornexPreferedConverter {
  VORNEX_CONVERTER_AUTO = 0,   /**< chosen from the format */
  VORNEX_CONVERTER_FFMPEG = 1, /**< the ffmpeg program */
  VORNEX_CONVERTER_EXT = 2     /**< the in-process engine */
} VornexPreferedConverter;

/** Return values of the calls below. */
enum {
  VORNEX_OK = 0,
  VORNEX_INVALID_ARGUMENT = -1, /**< a required pointer was NULL, or a value out of range */
  VORNEX_OUT_OF_MEMORY = -2     /**< the call could not be carried out for want of memory */
};

/** An error handed to a block. All three strings live for the block call only: copy what you
 * keep. */
typedef struct VornexError {
  const char* domain;      /**< "Vornlib.VornError" or "Vornlib.ExtError" */
  long code;               /**< the case index: VornError 0 unknownError, 1 ffmpegUnknownError,
                              2 notSupportedCodecByFormat, 3 stopped; ExtError 0 osstatusError,
                              1 unknownError, 2 notSupportedFormat */
  const char* description; /**< the textual form, e.g. "ffmpegUnknownError", "osstatusError(-50)" */
} VornexError;

/** The block of a conversion: `location` is the converted file's path or NULL, `error` the
 * failure or NULL; both live for the call only. `context` is the pointer given with the block,
 * passed back untouched. */
typedef void (*VornexBlock)(void* context, const char* location, const VornexError* error);

/** Makes a configuration from raw-value texts and numbers. `fileFormat` is a format's raw value
 * ("wav", "aac", "aifc", "aiff", "caf", "m4a", "mp4", "flac", "mp3", "ogg", "wma"); `fileCodec`
 * is a codec's raw value ("linearPCM", "alaw", "ulaw", "aac", "alac", "flac", "mp3", "vorbis",
 * "wma", "ac3", "mp2", "oggPCM") or NULL for the format's default. A codec the format does not
 * accept becomes the format's default, as in C++. Sample rate in hertz, bit depth in bits,
 * bit rate in kilobits per second; numbers are kept as given. The engine preference starts as
 * VORNEX_CONVERTER_AUTO.
 * Returns a new configuration that the caller owns and releases with vornex_config_release,
 * or NULL when `fileFormat` is NULL or unknown, `fileCodec` is unknown, or memory runs out. */
VORNLIB_API VornexConfig* vornex_config_create(const char* fileFormat, const char* fileCodec,
                                               int64_t sampleRate, int64_t bitDepth,
                                               int64_t countOfChanel, int64_t bitRate);

/** Releases a configuration. A conversion already started does not need it. NULL is ignored. */
VORNLIB_API void vornex_config_release(VornexConfig* config);

/** Sets the engine preference. Returns VORNEX_OK, or VORNEX_INVALID_ARGUMENT for a NULL
 * configuration or an unknown value (the configuration is then unchanged). */
VORNLIB_API int vornex_config_set_prefered_converter(VornexConfig* config,
                                                     VornexPreferedConverter converter);

/** The configuration's one-line description, e.g. "mp3(mp3) - 192kbs - 2ch", as a new
 * NUL-terminated string that the caller frees with vornex_string_free; NULL for a NULL
 * configuration or when memory runs out. */
VORNLIB_API char* vornex_config_copy_description(const VornexConfig* config);

/** The version of the library the program runs with, e.g. "0.1.0" (VORNLIB_VERSION_STRING of
 * vornlib/version.h is the version of the headers it was built with). Static storage: never
 * freed. */
VORNLIB_API const char* vornex_version(void);

/** Frees a string handed out by this interface. NULL is ignored. */
VORNLIB_API void vornex_string_free(char* string);

/** Converts the file at path `file` as `with` says (the completion style). The block is called
 * exactly once, with the output path or an error, as the engine gave them:
 *  - the in-process engine converts inside this call and calls the block on the calling
 *    thread before returning;
 *  - the FFmpeg engine returns at once and calls the block later on a thread of its runner
 *    (a run that could not be started, for want of a thread, fails with "Vornlib.VornError"
 *    code 1 on a background thread, or on the calling thread before returning when the system
 *    refuses every new thread). The runner frees the run's slot before it calls the block, so
 *    the block may wait for other conversions.
 * `file` and `with` are read as Vornex::convert says (vornlib/vornex.hpp): during the call only.
 * The converted file belongs to the caller.
 * Returns VORNEX_OK; VORNEX_INVALID_ARGUMENT (and never calls the block) when `file`, `with`
 * or `completition` is NULL; VORNEX_OUT_OF_MEMORY when the conversion could not be started. */
VORNLIB_API int vornex_convert_with_file_with_completition(const char* file,
                                                           const VornexConfig* with,
                                                           VornexBlock completition, void* context);

/** Converts the file at path `file` as `with` says (the asynchronous style) and returns at once
 * without waiting. The block is called exactly once, with exactly one of its two arguments
 * non-NULL, on a background thread kept for host code: it may block, and may wait for any other
 * conversion started through this call or the C++ future style, since Vornlib's own work never
 * waits for such a thread (a block that waits holds its thread; others get threads of their
 * own). An engine that reported neither a location nor an error, and a conversion for which not
 * a single thread could be started, give the error domain "Vornlib.VornError", code 0 (when
 * the system refuses every new thread, on the calling thread before this returns). A process
 * that exits with conversions in flight does not wait for them: blocks not yet called are
 * never called. `file` and `with` are read as Vornex::convert says (vornlib/vornex.hpp): during
 * the call only, so both may be released or changed once it returns.
 * Returns VORNEX_OK; VORNEX_INVALID_ARGUMENT (and never calls the block) when `file`, `with`
 * or `completionHandler` is NULL; VORNEX_OUT_OF_MEMORY when the conversion could not be
 * started. */
VORNLIB_API int vornex_convert_with_file_with_completion_handler(const char* file,
                                                                 const VornexConfig* with,
                                                                 VornexBlock completionHandler,
                                                                 void* context);

/** A progress report of one conversion. */
typedef struct VornexProgress {
  double fraction; /**< the part of the source converted, 0 to 1; negative when the source's
                      duration is not known */
  double seconds;  /**< audio converted so far, in seconds */
  int isFinal;     /**< non-zero for the last report, made once right before the block */
} VornexProgress;

/** What a progress block answers. */
enum { VORNEX_PROCEED = 0, VORNEX_STOP = 1 };

/** Receives progress reports; `progress` lives for the call only. Answering VORNEX_STOP to a
 * report that is not final stops the conversion: the ffmpeg process is ended and reaped, or the
 * in-process copy stops and closes both files, and the conversion's block then gets the error
 * "Vornlib.VornError" code 3 ("stopped"); the partial output stays. Any other answer goes on.
 * Reports come at most four times a second, one at a time and in order, on a thread kept for
 * host code; the final one comes on the thread that then calls the conversion's block, after
 * any earlier report has returned. */
typedef int (*VornexProgressBlock)(void* context, const VornexProgress* progress);

/** vornex_convert_with_file_with_completition with progress reports: `progress` (NULL for none)
 * gets the same `context`. Returns as that call does. */
VORNLIB_API int vornex_convert_with_file_with_completition_and_progress(
    const char* file, const VornexConfig* with, VornexBlock completition,
    VornexProgressBlock progress, void* context);

/** vornex_convert_with_file_with_completion_handler with progress reports: `progress` (NULL for
 * none) gets the same `context`. Returns as that call does. */
VORNLIB_API int vornex_convert_with_file_with_completion_handler_and_progress(
    const char* file, const VornexConfig* with, VornexBlock completionHandler,
    VornexProgressBlock progress, void* context);

/** One finished conversion, as the observer sees it. Everything lives for the call only. */
typedef struct VornexReport {
  VornexPreferedConverter engine; /**< VORNEX_CONVERTER_FFMPEG or VORNEX_CONVERTER_EXT */
  const char* source;             /**< the source path as given */
  const char* output;             /**< the output file made or named; NULL when none was */
  const VornexError* error;       /**< NULL after a success */
  const char* reason;             /**< why it failed, in words: the last lines ffmpeg printed, or
                                     the in-process engine's failing step and status; "" after
                                     a success */
} VornexReport;

/** Receives a conversion's report: the observer's, or one conversion's own (VornexOptions);
 * `report` and all it points to live for the call only. */
typedef void (*VornexObserver)(void* context, const VornexReport* report);

/** Installs `observer` (NULL removes it) for the whole process, with `context` passed back
 * untouched; it replaces the C++ observer (Vornex::setObserver) and the other way round. It
 * then sees every conversion that reaches an engine, once, when its outcome is known: on the
 * thread that then calls the conversion's block, right before it. It may be called from
 * several threads at once. It adds no log line and changes no outcome.
 * Returns VORNEX_OK, or VORNEX_OUT_OF_MEMORY (the observer is then unchanged). */
VORNLIB_API int vornex_set_observer(VornexObserver observer, void* context);

/** What a host may add to one conversion (the C face of Vornex::Options, vornlib/vornex.hpp, which
 * says what each does). Opaque; made by vornex_options_create, released by
 * vornex_options_release; a conversion started with it keeps what it needs, so it may be released
 * or changed as soon as the call returns. */
typedef struct VornexOptions VornexOptions;

/** A new, empty set of options that the caller owns, or NULL when memory runs out. */
VORNLIB_API VornexOptions* vornex_options_create(void);

/** Releases options. NULL is ignored. */
VORNLIB_API void vornex_options_release(VornexOptions* options);

/** Progress reports, as the _and_progress calls make them (NULL for none); the block gets the
 * conversion's context. Returns VORNEX_OK, or VORNEX_INVALID_ARGUMENT for NULL options. */
VORNLIB_API int vornex_options_set_progress(VornexOptions* options, VornexProgressBlock progress);

/** Called once for the conversion, with the conversion's context and the report the observer
 * gets, right before its block, after the final progress report and the observer (NULL for
 * none). Returns VORNEX_OK, or VORNEX_INVALID_ARGUMENT for NULL options. */
VORNLIB_API int vornex_options_set_report(VornexOptions* options, VornexObserver report);

/** Where the output goes, copied (NULL or "" for the temporary directory): an existing directory,
 * or the path of a file that must not exist yet. Returns VORNEX_OK, VORNEX_INVALID_ARGUMENT for
 * NULL options, or VORNEX_OUT_OF_MEMORY (the options are then unchanged). */
VORNLIB_API int vornex_options_set_destination(VornexOptions* options, const char* destination);

/** vornex_convert_with_file_with_completition with `options` (NULL for none). Returns as that
 * call does. */
VORNLIB_API int vornex_convert_with_file_with_completition_and_options(const char* file,
                                                                       const VornexConfig* with,
                                                                       VornexBlock completition,
                                                                       const VornexOptions* options,
                                                                       void* context);

/** vornex_convert_with_file_with_completion_handler with `options` (NULL for none). Returns as
 * that call does. */
VORNLIB_API int vornex_convert_with_file_with_completion_handler_and_options(
    const char* file, const VornexConfig* with, VornexBlock completionHandler,
    const VornexOptions* options, void* context);

/** Receives each of Vornlib's log lines (the "Command = " and "error = " lines, and FFmpeg's
 * messages when asked for): NUL-terminated, without a line break, living for the call only.
 * Called on whichever thread logs, Vornlib's own included, and from several at once; it must not
 * wait for a conversion. */
typedef void (*VornexLogSink)(void* context, const char* line);

/** Installs `sink` for the whole process, with `context` passed back untouched (NULL restores the
 * default, standard error); it replaces the C++ sink (vornlib::setLogSink) and the other way
 * round. Returns VORNEX_OK, or VORNEX_OUT_OF_MEMORY (the sink is then unchanged). */
VORNLIB_API int vornex_set_log_sink(VornexLogSink sink, void* context);

/** Whether FFmpeg's own messages from Vornlib's in-process work go to the log sink (non-zero) or
 * nowhere (0, the default): vornlib::setFFmpegMessagesLogged in vornlib/log.hpp, which also says
 * how this meets a host's own FFmpeg log callback. Returns the previous setting, 0 or 1. */
VORNLIB_API int vornex_set_ffmpeg_messages_logged(int logged);

#ifdef __cplusplus
}
#endif

#endif /* VORNLIB_VORNEX_H */
