/* A small C interface to the device model, for programs that cannot use its
 * C++ classes (the Python package loads it with ctypes). No part of libvexan.
 *
 * The model of a whole EDS or DCF file is handed over as one JSON document
 * (UTF-8, no line ends inside):
 *
 *   {"format":1, "path":..., "node":N, "dcf":bool,
 *    "file_info":{...}, "device_info":{...}, "commissioning":{...}|null,
 *    "dummy_usage":[...], "comments":[...], "mandatory_objects":[...],
 *    "optional_objects":[...], "manufacturer_objects":[...],
 *    "diagnostics":[{"line":N, "kind":"duplicate_object", "message":"..."}, ...],
 *    "objects":[{"index":N, "name":"...", "object_type":"RECORD", "line":N,
 *                "sub_number":N|null, "compact_sub_obj":N|null,
 *                "entries":[ENTRY, ...]}, ...]}
 *
 * Each ENTRY holds the keys of `vexan od list --json` (index, subindex, name,
 * object_type, datatype, access, pdo_mapping, default, parameter_value,
 * low_limit, high_limit, with `$NODEID` evaluated for the node) and further
 * "denotation" (string or null), "default_text" (the DefaultValue as written,
 * or null), "line" (the section's header line) and "generated" (made from
 * CompactSubObj). Objects come by rising index, entries by rising sub-index. */
#ifndef VEXAN_OD_H
#define VEXAN_OD_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(VEXAN_OD_BUILDING) && defined(__GNUC__)
#define VEXAN_OD_API __attribute__((visibility("default")))
#else
#define VEXAN_OD_API
#endif

/* Results of VexanOD_ReadJSON. */
#define VEXAN_OD_OK 0
#define VEXAN_OD_FILE_ERROR 1   /* the file cannot be read at all: *error_out says why */
#define VEXAN_OD_BAD_ARGUMENT 2 /* a null pointer, or a node id above 127 */
#define VEXAN_OD_NO_MEMORY 3

/* Reads the EDS or DCF file `path` (a DCF by the extension .dcf or by its
 * [DeviceComissioning] section) and hands its model over as the JSON
 * document above, with `$NODEID` evaluated for `node` (0..127; 0 leaves the
 * plain numbers). On VEXAN_OD_OK *json_out holds the document (NUL-ended,
 * *length_out bytes without the NUL) and *error_out is NULL; otherwise
 * *json_out is NULL and *error_out, when not NULL, holds a message. Whatever
 * is handed out is released with VexanOD_Free. A file whose content makes no
 * sense still gives a document: its "diagnostics" say what, with line numbers. */
VEXAN_OD_API int VexanOD_ReadJSON(const char* path, unsigned node, char** json_out, size_t* length_out,
                                  char** error_out);

/* Releases a document or message of VexanOD_ReadJSON; NULL is ignored. */
VEXAN_OD_API void VexanOD_Free(char* text);

/* The interface's version; a document's "format" changes with it. */
VEXAN_OD_API unsigned VexanOD_Version(void);

#ifdef __cplusplus
}
#endif

#endif
