/*
 * JSON text <-> atoms. The reader ("jsonreader", nobox) turns a JSON object
 * into a t_dictionary and an array into a t_atomarray (flag 1: it frees
 * what it holds); scalars become atoms, string values t_string objects.
 * One reader or writer serves one thread at a time.
 */
#ifndef KIVO_JSON_H
#define KIVO_JSON_H

#include "kivo/object.h"

KIVO_BEGIN_C

/* ---- reader */

typedef struct _jsonreader t_jsonreader;

KIVO_EXPORT void jsonreader_initclass(void);
/* The caller owns the reader (object_free). */
KIVO_EXPORT t_jsonreader *jsonreader_new(void);
KIVO_EXPORT void jsonreader_free(t_jsonreader *x);
/* 0 on success: *result holds the top-level value (AT_OBJ of a dictionary
   or an atom array) and the caller owns that object. Any failure answers
   -1 and leaves *result as AT_NOTHING; nothing is posted, the message comes
   from jsonreader_errorstring. */
KIVO_EXPORT long jsonreader_parse(t_jsonreader *x, const char *text, t_atom *result);
KIVO_EXPORT long jsonreader_parse_len(t_jsonreader *x, const char *text, long length, t_atom *result);
/* Writes the message of the last parse into buf, which holds at least
   JSONREADER_ERRORSTRING_SIZE bytes; text is the text given to that parse. */
#define JSONREADER_ERRORSTRING_SIZE 256
KIVO_EXPORT long jsonreader_errorstring(t_jsonreader *x, const char *text, char *buf);
/* The position just after the section opened at text, or null. */
KIVO_EXPORT const char *json_skipobject(const char *text);
KIVO_EXPORT const char *json_skipsection(const char *text, char open, char close);

/* ---- writer */

typedef struct dictionary t_dictionary;

/* The record of a "jsonwriter" object; only the writer writes its fields. */
typedef struct _jsonwriter {
    t_object ob;
    long depth;         /* nesting level, 0 at the top */
    t_handle output;    /* the text so far, NUL-terminated; owned unless detached */
    long length;        /* bytes of text in output */
    long firstentry;    /* 0 until the current dictionary's first entry is written */
    long detached;      /* non-zero: output was handed over and is not freed */
} t_jsonwriter;

KIVO_EXPORT void jsonwriter_initclass(void);
/* The caller owns the writer (object_free); freeing it frees the text
   unless the output was detached. */
KIVO_EXPORT t_jsonwriter *jsonwriter_new(void);
KIVO_EXPORT void jsonwriter_free(t_jsonwriter *x);
/* Append one value's text to the output; the dictionary or array is only
   read. Both always answer 0. */
KIVO_EXPORT t_kivo_err jsonwriter_writedictionary(t_jsonwriter *x, t_dictionary *d);
/* array: any object answering "getsize" and "getindex". */
KIVO_EXPORT t_kivo_err jsonwriter_writeatomarray(t_jsonwriter *x, t_object *array);
/* 0, or -1 for a value JSON cannot carry faithfully (it is still written). */
KIVO_EXPORT long jsonwriter_writeatom(t_jsonwriter *x, const t_atom *a);
/* *out becomes the output handle, trimmed to the text and its NUL; it stays
   the writer's until jsonwriter_detachoutput(x, 1). */
KIVO_EXPORT t_kivo_err jsonwriter_getoutput(t_jsonwriter *x, t_handle *out);
KIVO_EXPORT t_kivo_err jsonwriter_detachoutput(t_jsonwriter *x, long flag);

/* ---- dictionary files */

/* Writes d as a JSON text file (type 'JSON'), replacing any file of that
   name only once the whole text is written. 0 or an error code. */
KIVO_EXPORT t_kivo_err dictionary_write(t_dictionary *d, const char *filename, short path);
/* *d becomes a new dictionary (the caller frees it) read from the file, or
   null: also when the file's top level is an array (result 0). */
KIVO_EXPORT t_kivo_err dictionary_read(const char *filename, short path, t_dictionary **d);

KIVO_END_C

#endif
