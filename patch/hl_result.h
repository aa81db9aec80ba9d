/* Every result code of the patch engine, in one place. */
#ifndef HL_RESULT_H
#define HL_RESULT_H

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes of hpatchi_run and hpatchi_patch; hl_result_text says what each means. */
enum hpatchi_result {
  HPATCHI_OK = 0,
  HPATCHI_OPEN_READ_ERROR = 3,
  HPATCHI_OPEN_WRITE_ERROR = 4,
  HPATCHI_OLD_READ_ERROR = 5, /* the patch failed and the old-file stream recorded an error */
  HPATCHI_WRITE_ERROR = 6,
  HPATCHI_CLOSE_ERROR = 8, /* a close failed, nothing else did */
  HPATCHI_ALLOC_ERROR = 9,
  HPATCHI_COMPRESS_TYPE_ERROR = 10,
  HPATCHI_DECOMPRESSER_INFO_ERROR = 11,
  HPATCHI_DECOMPRESSER_OPEN_ERROR = 12,
  HPATCHI_DECOMPRESSER_CLOSE_ERROR = 13, /* only the zlib close failed */
  HPATCHI_HEADER_ERROR = 20,
  HPATCHI_PATCH_ERROR = 21
};

/* Finer causes of a failure on the patch itself (codes 11, 20 and 21), given beside the result
 * code by hpatchi_run_outcome; hpatchi_run and the hpatchi program keep the code. */
enum hpatchi_cause {
  HPATCHI_CAUSE_NONE = 0,
  HPATCHI_PATCH_ENDED = 22,
  HPATCHI_PATCH_READ_ERROR = 23
};

/* Exit code of the hpatchi program for wrong arguments; hpatchi_run never returns it. */
enum hpatchi_tool_exit {
  HPATCHI_TOOL_USAGE_ERROR = 1
};

/* What a code of hpatchi_result, hpatchi_cause or hpatchi_tool_exit means, in the words the
 * hpatchi program uses (OLD, PATCH and NEW are its arguments); NULL for any other code. */
const char* hl_result_text(int code);

/* Result codes of the tuz decoder. */
enum tuz_result {
  TUZ_OK = 0,                /* decode: the request was filled; open: success */
  TUZ_STREAM_END = 1,        /* decode: the end code was read */
  TUZ_ERR_CONTROL_CODE = 10, /* decode: unknown control code while input was there */
  TUZ_ERR_INPUT_DRY = 20,    /* decode: the last refill delivered no bytes */
  TUZ_ERR_DICT_SIZE = 21,    /* open: dictionary size 0 */
  TUZ_ERR_CACHE_SIZE = 22,   /* open: input cache size 0 */
  TUZ_ERR_DISTANCE = 23,     /* decode: match distance larger than the dictionary */
  TUZ_ERR_EMPTY_REQUEST = 24 /* decode: a request of 0 bytes, input not dry */
};

#ifdef __cplusplus
}
#endif

#endif
