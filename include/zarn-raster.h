// SPDX-License-Identifier: MIT
/*
 * libzarn-raster - pictures and PDF pages turned into the label printer's
 * 1-bit BITMAP, encoded as the bytes a host sends.
 *
 * Decodes PNG, JPEG, BMP, GIF, TIFF and WebP pictures and renders PDF pages
 * (at the printer's own resolution), fits them to a label, converts them to
 * 1 bit (threshold, Floyd-Steinberg, Atkinson or ordered 8x8 Bayer) and
 * packs them the way the printer's BITMAP command wants them: rows of
 * (width + 7) / 8 bytes, the leftmost dot in the most significant bit, a set
 * bit is paper, a cleared bit is ink, the spare bits at the end of a row set.
 *
 * Grey: colours are weighed in linear light (sRGB decoded, Rec. 709
 * luminance) and the grey is re-encoded with the sRGB curve; thresholds and
 * dithering work on that encoded, perceptual grey. So "50 %" is mid grey as
 * people see it, and a dithered patch of grey v (0 black .. 255 white) gets
 * ink on 1 - v/255 of its dots. Scaling averages in linear light. Pixels
 * that are pure black or pure white keep their value and neither take nor
 * give dithering error, so text and barcodes stay crisp next to photos.
 *
 * Results: every function returning zarn_raster_status gives ZARN_RASTER_OK
 * or an error code; after an error zarn_raster_last_error() says in one line
 * what failed (which file, which page, what was wrong). Output pointers are
 * set only on success.
 *
 * Ownership: objects the library returns (documents, bitmaps, streams) are
 * owned by the caller and released with their one free/close call; passing
 * NULL to those is allowed. Input buffers are only read during the call
 * (zarn_raster_open_memory copies the bytes it needs).
 *
 * Threads: decoding, rendering, dithering and PNG writing may run on several
 * threads at once, each on its own objects; one document, bitmap or stream
 * is used by one thread at a time. Error messages are kept per thread. The
 * library does no printer I/O: encodings go to the host's sink.
 */
#ifndef ZARN_RASTER_H
#define ZARN_RASTER_H

#include <stddef.h>

#if defined(__GNUC__)
#define ZARN_RASTER_API __attribute__((visibility("default")))
#else
#define ZARN_RASTER_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef enum zarn_raster_status {
  ZARN_RASTER_OK = 0,
  ZARN_RASTER_ERR_ARGUMENT = 1,      /* a NULL pointer or an option out of range */
  ZARN_RASTER_ERR_IO = 2,            /* a file could not be opened, read or written */
  ZARN_RASTER_ERR_FORMAT = 3,        /* not a picture or PDF this library reads */
  ZARN_RASTER_ERR_CORRUPT = 4,       /* damaged or truncated picture or PDF */
  ZARN_RASTER_ERR_TOO_LARGE = 5,     /* declared size over the limit (max_pixels) */
  ZARN_RASTER_ERR_PAGE = 6,          /* no such page */
  ZARN_RASTER_ERR_NO_MEMORY = 7,     /* an allocation failed */
  ZARN_RASTER_ERR_NOT_CONNECTED = 8, /* kept for its number; no longer given */
  ZARN_RASTER_ERR_SEND = 9,          /* the host's sink stopped an encoding */
  ZARN_RASTER_ERR_STATE = 10,        /* a stream used out of order */
  ZARN_RASTER_ERR_BUDGET = 11        /* a page needs more CPU time or memory than its budget
                                        (max_seconds, max_bytes); nothing is returned */
} zarn_raster_status;

typedef enum zarn_raster_dither {
  ZARN_RASTER_DITHER_FLOYD_STEINBERG = 0, /* error diffusion, serpentine (default) */
  ZARN_RASTER_DITHER_THRESHOLD = 1,       /* ink where the grey is below threshold */
  ZARN_RASTER_DITHER_ATKINSON = 2,        /* error diffusion, 6/8 of the error spread */
  ZARN_RASTER_DITHER_ORDERED = 3          /* Bayer 8 x 8 */
} zarn_raster_dither;

typedef enum zarn_raster_rotate {
  ZARN_RASTER_ROTATE_AUTO = -1, /* turn 90 deg when picture and label differ in orientation */
  ZARN_RASTER_ROTATE_0 = 0,     /* angles are clockwise */
  ZARN_RASTER_ROTATE_90 = 90,
  ZARN_RASTER_ROTATE_180 = 180,
  ZARN_RASTER_ROTATE_270 = 270
} zarn_raster_rotate;

typedef enum zarn_raster_fit {
  ZARN_RASTER_FIT_CONTAIN = 0, /* scale up or down until it fits inside the margins (default) */
  ZARN_RASTER_FIT_SHRINK = 1,  /* scale down to fit, never up */
  ZARN_RASTER_FIT_NONE = 2     /* one pixel a dot; PDF pages at their own size; cut to the label */
} zarn_raster_fit;

/* Pixel layouts of caller buffers (zarn_raster_render_pixels, streams).
 * Grey and colour values are sRGB-encoded; alpha is not premultiplied and
 * transparent pixels show the paper (white). */
typedef enum zarn_raster_pixel_format {
  ZARN_RASTER_GREY8 = 0,  /* 1 byte: 0 black .. 255 white */
  ZARN_RASTER_RGB24 = 1,  /* 3 bytes: R, G, B */
  ZARN_RASTER_RGBA32 = 2, /* 4 bytes: R, G, B, A */
  ZARN_RASTER_BLACK1 = 3  /* 1 bit, leftmost pixel in the most significant bit, set = ink */
} zarn_raster_pixel_format;

/* Largest picture (declared width x height) accepted when max_pixels is 0. */
#define ZARN_RASTER_DEFAULT_MAX_PIXELS 67108864ULL /* 64 Mi pixels */

/* The budget of one page when max_seconds or max_bytes is 0: what no label
 * comes near, and what a host can afford for each page it is sent. */
#define ZARN_RASTER_DEFAULT_MAX_SECONDS 10.0
#define ZARN_RASTER_DEFAULT_MAX_BYTES 268435456ULL /* 256 MiB */

/* How a picture becomes a label. Always prepare one with
 * zarn_raster_options_init(), then change fields: the size field tells the
 * library which fields the caller knows of, so fields added in later
 * versions take their defaults for older callers. */
typedef struct zarn_raster_options {
  size_t size; /* sizeof(zarn_raster_options), set by zarn_raster_options_init */
  /* Label size in mm; 0 x 0 (default) makes the label the picture's own
   * size: a PDF page at its size, a picture one pixel a dot. Either both or
   * neither must be set; at most 1000 mm each. The label is
   * round(mm x dots per mm) dots each way. */
  double label_width_mm;
  double label_height_mm;
  int dpi;                   /* 203 (8 dots/mm, default), 300 (12) or 600 (24) */
  zarn_raster_dither dither; /* default ZARN_RASTER_DITHER_FLOYD_STEINBERG */
  double threshold;          /* ZARN_RASTER_DITHER_THRESHOLD: ink where grey/255 < threshold;
                                0 < threshold < 1, default 0.5 */
  zarn_raster_rotate rotate; /* default ZARN_RASTER_ROTATE_0 */
  zarn_raster_fit fit;       /* default ZARN_RASTER_FIT_CONTAIN */
  double margin_top_mm;      /* paper kept free on each side (default 0); the */
  double margin_right_mm;    /* picture is centred in what is left */
  double margin_bottom_mm;
  double margin_left_mm;
  unsigned long long max_pixels; /* refuse larger pictures and labels; 0 = the default */
  /* The budget of one page, decoding and rendering together, checked while
   * they run: CPU time of the rendering thread in seconds, and the memory
   * the page's pixels, decoder buffers and (for PDFs) image data take. 0 =
   * the defaults above. Past either, the render stops with
   * ZARN_RASTER_ERR_BUDGET ("label.pdf: page 1 takes more than 10 s to
   * render", "photo.tif: page 1 needs more than 256 MiB"). */
  double max_seconds;
  unsigned long long max_bytes;
} zarn_raster_options;

/* Fills options with the defaults and sets its size field. */
ZARN_RASTER_API void zarn_raster_options_init(zarn_raster_options *options);

/* The calling thread's message for its last failed call, one line without
 * a line break ("" when none failed yet). The text stays valid until the
 * thread's next call into this library. */
ZARN_RASTER_API const char *zarn_raster_last_error(void);

/* ---- Documents: a picture (one page) or a PDF (any number) --------------- */

typedef struct zarn_raster_document zarn_raster_document;

/* Opens a picture or PDF file. The format is found from its first bytes,
 * never from the name. A picture's header is read here (a damaged one is
 * refused); its pixels are decoded only by zarn_raster_render, which first
 * checks the declared size against max_pixels. */
ZARN_RASTER_API zarn_raster_status zarn_raster_open_file(const char *path,
                                                         zarn_raster_document **document);

/* The same from size bytes at data (copied; the caller may free data right
 * after). name is used in messages and may be NULL ("picture"). */
ZARN_RASTER_API zarn_raster_status zarn_raster_open_memory(const void *data, size_t size,
                                                           const char *name,
                                                           zarn_raster_document **document);

/* Pages in the document: 1 for a picture. */
ZARN_RASTER_API int zarn_raster_document_pages(const zarn_raster_document *document);

/* Releases the document. */
ZARN_RASTER_API void zarn_raster_document_close(zarn_raster_document *document);

typedef struct zarn_raster_bitmap zarn_raster_bitmap;

/* Renders page (1 = the first) of the document as a label: decoded or
 * rendered, fitted, converted to 1 bit and packed. options may be NULL for
 * the defaults. Memory stays bounded by the label's size plus a band of
 * the source: PNG, JPEG and TIFF are decoded row by row, WebP straight at
 * the size it will print, PDF pages in bands. */
ZARN_RASTER_API zarn_raster_status zarn_raster_render(zarn_raster_document *document, int page,
                                                      const zarn_raster_options *options,
                                                      zarn_raster_bitmap **bitmap);

/* Opens path, renders one page and closes it again. */
ZARN_RASTER_API zarn_raster_status zarn_raster_render_file(const char *path, int page,
                                                           const zarn_raster_options *options,
                                                           zarn_raster_bitmap **bitmap);

/* Renders pixels the caller holds (for example a Pillow image's buffer):
 * width x height pixels in format, stride bytes from one row's start to
 * the next. */
ZARN_RASTER_API zarn_raster_status zarn_raster_render_pixels(const void *pixels, int width,
                                                             int height, size_t stride,
                                                             zarn_raster_pixel_format format,
                                                             const zarn_raster_options *options,
                                                             zarn_raster_bitmap **bitmap);

/* ---- Bitmaps: the packed 1-bit label ------------------------------------- */

ZARN_RASTER_API int zarn_raster_bitmap_width(const zarn_raster_bitmap *bitmap);  /* dots */
ZARN_RASTER_API int zarn_raster_bitmap_height(const zarn_raster_bitmap *bitmap); /* dots */
/* (width + 7) / 8. */
ZARN_RASTER_API int zarn_raster_bitmap_bytes_per_row(const zarn_raster_bitmap *bitmap);
/* bytes_per_row x height bytes, rows top to bottom; owned by the bitmap. */
ZARN_RASTER_API const unsigned char *zarn_raster_bitmap_data(const zarn_raster_bitmap *bitmap);
/* The resolution it was made for: 203, 300 or 600. */
ZARN_RASTER_API int zarn_raster_bitmap_dpi(const zarn_raster_bitmap *bitmap);

/* Writes the bitmap as a 1-bit grey PNG, ink black, with its resolution
 * in the pHYs chunk: exactly the dots its encoding prints. */
ZARN_RASTER_API zarn_raster_status zarn_raster_bitmap_write_png(const zarn_raster_bitmap *bitmap,
                                                                const char *path);

ZARN_RASTER_API void zarn_raster_bitmap_free(zarn_raster_bitmap *bitmap);

/* ---- Encoding: a label as the printer's bytes ---------------------------- */

/* Takes the next size bytes of an encoding (they are only valid during the
 * call). Returns 0 to go on; anything else stops the encoding, which then
 * gives ZARN_RASTER_ERR_SEND. This library never sends anything itself:
 * a host hands the bytes to its connection (libzarn-client's
 * zarn_client_print_bitmap does), a file or a spool. */
typedef int (*zarn_raster_sink)(const unsigned char *bytes, size_t size, void *context);

/* The bitmap as one label: "SIZE w mm,h mm" (the bitmap's size), "CLS",
 * "BITMAP x,y,widthBytes,height,0," with the rows, and "PRINT 1,copies",
 * each line ending in CR LF. Rows that are all paper above and below the
 * picture are left out (the label is blank after CLS). copies is 1 or more. */
ZARN_RASTER_API zarn_raster_status zarn_raster_encode(const zarn_raster_bitmap *bitmap, int copies,
                                                      zarn_raster_sink sink, void *context);

/* The label is blank where the bitmap goes (after CLS): its rows of paper
 * above and below the picture are left out. */
#define ZARN_RASTER_ENCODE_ON_BLANK 1u

/* Only the BITMAP command with the bitmap at (x, y) dots, for hosts that
 * lay out the rest of the label themselves (setup, CLS, PRINT). Without
 * ZARN_RASTER_ENCODE_ON_BLANK every row goes, paper included: BITMAP
 * overwrites, so the picture's white blanks whatever the host drew under
 * it. A bitmap that is all paper gives no bytes with the flag. */
ZARN_RASTER_API zarn_raster_status zarn_raster_encode_bitmap(const zarn_raster_bitmap *bitmap,
                                                             int x, int y, unsigned flags,
                                                             zarn_raster_sink sink, void *context);

/* ---- Streams: a page line by line, memory bounded by a few lines ---------- */

typedef struct zarn_raster_stream zarn_raster_stream;

/* Starts a page of width x height dots whose lines come in format, already
 * at the printer's resolution (no fitting or rotation: only options->dither
 * and options->threshold are used; options may be NULL).
 *
 * With a sink, the stream encodes the page as it goes: open gives
 * "BITMAP 0,0,widthBytes,height,0,", the rows follow in pieces of about
 * 64 KiB, and close completes the block with paper for rows never written,
 * so the printer is never left inside the block. The host sends the setup
 * lines and CLS before, and PRINT after. With sink NULL the stream only
 * converts (see packed below). */
ZARN_RASTER_API zarn_raster_status zarn_raster_stream_open(int width, int height,
                                                           zarn_raster_pixel_format format,
                                                           const zarn_raster_options *options,
                                                           zarn_raster_sink sink, void *context,
                                                           zarn_raster_stream **stream);

/* (width + 7) / 8: the size of a packed row. */
ZARN_RASTER_API int zarn_raster_stream_bytes_per_row(const zarn_raster_stream *stream);

/* Converts the next line (width pixels in the stream's format) and, when
 * packed is not NULL, writes its bytes_per_row packed bytes there. A line
 * after the last one gives ZARN_RASTER_ERR_STATE. */
ZARN_RASTER_API zarn_raster_status zarn_raster_stream_write(zarn_raster_stream *stream,
                                                            const void *line,
                                                            unsigned char *packed);

/* Ends the page (with a sink, completing the block with paper) and
 * releases the stream. Gives ZARN_RASTER_ERR_STATE when fewer lines than
 * height were written, ZARN_RASTER_ERR_SEND when the sink stopped. */
ZARN_RASTER_API zarn_raster_status zarn_raster_stream_close(zarn_raster_stream *stream);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* ZARN_RASTER_H */
