/* The C interface of the PDF module (libvorn_pdf.so), which holds poppler
 * and is loaded by the library the first time a PDF is read: poppler and the
 * thirty libraries it brings cost every start of a program linked with
 * them, and most runs read no PDF. Plain C types only, so that nothing of
 * either side's C++ runtime state crosses the boundary.
 */
#ifndef VORN_PDF_MODULE_ABI_H
#define VORN_PDF_MODULE_ABI_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Raised whenever anything below changes; the loader takes only a module of
 * its own version. */
#define VORN_PDF_MODULE_ABI 1

enum { VORN_PDF_OK = 0, VORN_PDF_UNREADABLE = 1, VORN_PDF_LOCKED = 2, VORN_PDF_FAILED = 3 };
enum { VORN_PDF_TITLE = 0, VORN_PDF_PAGE = 1, VORN_PDF_MESSAGE = 2 };

/* Receives one piece of the document: its title, the text of the next page
 * (each page once, in order, even when empty) or, with VORN_PDF_FAILED, what
 * went wrong. Bytes as poppler gives them (UTF-8, unchecked). */
typedef void (*vorn_pdf_emit)(void* sink, int kind, const char* text, size_t size);

typedef int (*vorn_pdf_abi_fn)(void);
typedef int (*vorn_pdf_extract_fn)(const char* data, size_t size, void* sink, vorn_pdf_emit emit);

/* Exported by the module: */
int vorn_pdf_module_abi(void);
/* Reads the PDF in data[0, size) (size <= INT_MAX); one of the VORN_PDF_*
 * results. Never lets an exception out. */
int vorn_pdf_extract(const char* data, size_t size, void* sink, vorn_pdf_emit emit);

#ifdef __cplusplus
}
#endif

#endif
