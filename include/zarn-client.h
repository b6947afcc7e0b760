/* SPDX-License-Identifier: MIT
 * libzarn-client: what a host needs above libzarn's calls, in one place.
 * Printer addresses as texts, opening by address, the printer's status with
 * the kind of reply it was, waiting until a label is printed, queries,
 * uploads and printing pictures with progress. The zarn command, zarn.hpp,
 * the Python package and the printer application all go through it.
 * Link with -lzarn-client (it brings -lzarn and -lzarn-raster).
 *
 *   zarn_client_printer *p;
 *   if (zarn_client_open("tcp://printer.local", &p) != ZARN_CLIENT_OK) {
 *     fprintf(stderr, "%s\n", zarn_client_last_error());
 *     return 1;
 *   }
 *   zarn_client_send(p, "CLS");
 *   ...
 *   zarn_client_outcome o;
 *   zarn_client_wait(p, 30000, 0, NULL, &o);
 *   zarn_client_close(p);
 *
 * Every call that can fail returns a zarn_client_status; on failure,
 * zarn_client_last_error() gives a one-line message naming the device or
 * address, kept per thread until that thread's next failing call. Texts and
 * arrays the library returns are released with zarn_client_free().
 *
 * libzarn holds one connection per process: zarn_client_open refuses a
 * second one (ZARN_CLIENT_ERR_BUSY), including one opened with zarn.h's
 * openport or openethernet, which it leaves open. A printer handle is used
 * from one thread at a time. */
#ifndef ZARN_CLIENT_H
#define ZARN_CLIENT_H

#include "zarn-raster.h"

#include <stddef.h>

#if defined(ZARN_CLIENT_BUILDING)
#define ZARN_CLIENT_API __attribute__((visibility("default")))
#else
#define ZARN_CLIENT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  ZARN_CLIENT_OK = 0,
  ZARN_CLIENT_ERR_ARGUMENT = 1, /* a NULL pointer, or a value out of range */
  ZARN_CLIENT_ERR_ADDRESS = 2,  /* an address, page list, threshold or size text that is wrong */
  ZARN_CLIENT_ERR_CONNECT = 3,  /* no device, no permission, unknown host, refused, not a tty */
  ZARN_CLIENT_ERR_BUSY = 4,     /* this process already has a printer connection */
  ZARN_CLIENT_ERR_CLOSED = 5,   /* the handle's connection was closed */
  ZARN_CLIENT_ERR_SEND = 6,     /* bytes could not be sent */
  ZARN_CLIENT_ERR_REPLY = 7,    /* the printer did not answer (see the reply kind) */
  ZARN_CLIENT_ERR_FILE = 8,     /* a local file cannot be read or used */
  ZARN_CLIENT_ERR_IMAGE = 9,    /* a picture or PDF page cannot be printed; see
                                   zarn_client_last_raster_status() */
  ZARN_CLIENT_ERR_NO_MEMORY = 10,
  ZARN_CLIENT_ERR_NAME = 11 /* a name the printer cannot store a file under */
} zarn_client_status;

/* The message of this thread's last failing call ("" before any). */
ZARN_CLIENT_API const char *zarn_client_last_error(void);
/* After ZARN_CLIENT_ERR_IMAGE: libzarn-raster's status for it. */
ZARN_CLIENT_API zarn_raster_status zarn_client_last_raster_status(void);

/* Releases a text or array this library returned; NULL does nothing. */
ZARN_CLIENT_API void zarn_client_free(void *p);
/* Releases a reply text of libzarn's Read(), printername(), printerserial()
 * or sendcommand_getstring(); does nothing for NULL and for the library's
 * two constant replies. This is how a C host releases them. */
ZARN_CLIENT_API void zarn_client_free_reply(char *reply);

/* text (size bytes) for a one-line message: control bytes and backslashes
 * as C escapes ("a\\nb" for a, LF, b). Free with zarn_client_free. */
ZARN_CLIENT_API char *zarn_client_printable(const char *text, size_t size);

/* ---- Addresses ----------------------------------------------------------
 *   usb                                            the first USB printer
 *   serial:ttyUSB0[?baud=N&parity=P&data=D&stop=S] /dev/ttyUSB0; baud one of
 *        115200 (default), 38400, 19200, 9600, 4800, 2400, 1200, 300; parity
 *        none, odd, even or space; data 7 or 8; stop 1 or 2
 *   tcp://HOST[:PORT]                              a host name or IPv4 address,
 *        port 9100 by default
 * The scheme and the setting names are read in any case. */
typedef enum { ZARN_CLIENT_USB = 0, ZARN_CLIENT_SERIAL = 1, ZARN_CLIENT_TCP = 2 } zarn_client_kind;

typedef struct {
  zarn_client_kind kind;
  char device[64]; /* serial: the name under /dev, beginning with "tty" */
  int baud;        /* serial line settings */
  char parity;     /* 'N', 'O', 'E' or 'S' */
  int data_bits;
  int stop_bits;
  char host[256]; /* tcp */
  int port;       /* tcp */
} zarn_client_address;

/* Reads an address text into *address. ZARN_CLIENT_ERR_ADDRESS with a
 * message saying what is wrong, and *address untouched, when it is none. */
ZARN_CLIENT_API zarn_client_status zarn_client_address_parse(const char *text,
                                                             zarn_client_address *address);
/* The address as the text zarn_client_address_parse reads back to the same
 * address (settings always written out); NULL for a NULL address. */
ZARN_CLIENT_API char *zarn_client_address_format(const zarn_client_address *address);

/* ---- Opening ----------------------------------------------------------- */
typedef struct zarn_client_printer zarn_client_printer;

/* Opens the printer at the address text: host names are looked up and each
 * IPv4 address tried in turn; a serial device must exist, be readable and
 * writable and be a terminal, and its line settings are applied.
 * ZARN_CLIENT_ERR_ADDRESS, _CONNECT or _BUSY otherwise, with *printer NULL. */
ZARN_CLIENT_API zarn_client_status zarn_client_open(const char *address,
                                                    zarn_client_printer **printer);
ZARN_CLIENT_API zarn_client_status zarn_client_open_address(const zarn_client_address *address,
                                                            zarn_client_printer **printer);
/* Closes the connection (if still open) and frees the handle; NULL is fine. */
ZARN_CLIENT_API void zarn_client_close(zarn_client_printer *printer);
/* The address, with the IPv4 address reached for a TCP host name:
 * "tcp://printer.local:9100 (192.168.1.20:9100)". Owned by the handle. */
ZARN_CLIENT_API const char *zarn_client_describe(const zarn_client_printer *printer);
/* How long status and queries wait for the printer's first byte on TCP and
 * serial before the answer is "no reply": 2000 ms unless set (1 to 60000).
 * USB transfers have the library's own 10 s limit. */
ZARN_CLIENT_API zarn_client_status zarn_client_set_reply_timeout(zarn_client_printer *printer,
                                                                 int milliseconds);

/* ---- Status ------------------------------------------------------------ */
typedef enum {
  ZARN_CLIENT_REPLY_ANSWERED = 0,       /* the printer sent its status byte */
  ZARN_CLIENT_REPLY_NONE = 1,           /* nothing within the reply timeout */
  ZARN_CLIENT_REPLY_RECEIVE_FAILED = 2, /* the receive failed */
  ZARN_CLIENT_REPLY_DISCONNECTED = 3    /* the TCP peer closed, or the serial line hung up */
} zarn_client_reply;

/* Bits of the status byte; none set means ready. */
#define ZARN_CLIENT_BIT_HEAD_OPEN 0x01
#define ZARN_CLIENT_BIT_PAPER_JAM 0x02
#define ZARN_CLIENT_BIT_PAPER_OUT 0x04
#define ZARN_CLIENT_BIT_RIBBON_OUT 0x08
#define ZARN_CLIENT_BIT_PAUSED 0x10
#define ZARN_CLIENT_BIT_PRINTING 0x20
#define ZARN_CLIENT_BIT_COVER_OPEN 0x40
#define ZARN_CLIENT_BIT_TEMPERATURE 0x80 /* print head temperature out of range */

typedef struct {
  zarn_client_reply reply;
  unsigned char bits; /* the status byte; 0 unless answered */
} zarn_client_printer_status;

/* Asks for the status byte. ZARN_CLIENT_OK whatever the reply kind (it is
 * the answer); ZARN_CLIENT_ERR_CLOSED or _SEND when it could not be asked.
 * A reply that comes after the timeout is dropped before the next request,
 * never taken for its answer. */
ZARN_CLIENT_API zarn_client_status zarn_client_status_get(zarn_client_printer *printer,
                                                          zarn_client_printer_status *status);
/* "ready", "paper out, head open" (most pressing first), "no reply",
 * "receive failed" or "disconnected". Free with zarn_client_free. */
ZARN_CLIENT_API char *zarn_client_status_words(const zarn_client_printer_status *status);
/* The words of one condition bit ("paper out"), "" for anything else. */
ZARN_CLIENT_API const char *zarn_client_condition_text(unsigned bit);

/* ---- Waiting until printed --------------------------------------------- */
typedef enum {
  ZARN_CLIENT_OUTCOME_PRINTED = 0, /* the printing bit cleared and nothing needs attention */
  ZARN_CLIENT_OUTCOME_PAPER_OUT = 1,
  ZARN_CLIENT_OUTCOME_RIBBON_OUT = 2,
  ZARN_CLIENT_OUTCOME_PAPER_JAM = 3,
  ZARN_CLIENT_OUTCOME_HEAD_OR_COVER_OPEN = 4,
  ZARN_CLIENT_OUTCOME_TEMPERATURE = 5,
  ZARN_CLIENT_OUTCOME_PAUSED = 6,
  ZARN_CLIENT_OUTCOME_NO_REPLY = 7, /* no reply, a failed receive, or disconnected */
  ZARN_CLIENT_OUTCOME_TIMED_OUT = 8 /* still printing when the time was up */
} zarn_client_outcome;

/* The outcome a status stands for once printing has stopped, or
 * ZARN_CLIENT_OUTCOME_TIMED_OUT while it is still printing without a fault. */
ZARN_CLIENT_API zarn_client_outcome
zarn_client_outcome_of(const zarn_client_printer_status *status);
/* "printed", "paper out", "ribbon out", "paper jam", "head or cover open",
 * "temperature out of range", "paused", "no reply", "timed out". */
ZARN_CLIENT_API const char *zarn_client_outcome_text(zarn_client_outcome outcome);
/* Polls the status every poll_ms (250 when 0) until the printing bit
 * clears, a fault shows, the printer stops answering, or timeout_ms pass.
 * *last (may be NULL) is the last status read: the conditions behind the
 * outcome. */
ZARN_CLIENT_API zarn_client_status zarn_client_wait(zarn_client_printer *printer, int timeout_ms,
                                                    int poll_ms, zarn_client_printer_status *last,
                                                    zarn_client_outcome *outcome);

/* ---- Sending and queries ----------------------------------------------- */
/* Told how many of the total bytes went out so far, after each piece. */
typedef void (*zarn_client_progress)(size_t done, size_t total, void *context);

/* One command line; CR LF is added. */
ZARN_CLIENT_API zarn_client_status zarn_client_send(zarn_client_printer *printer, const char *line);
/* Bytes unchanged; with progress, in pieces, reporting after each. */
ZARN_CLIENT_API zarn_client_status zarn_client_send_binary(zarn_client_printer *printer,
                                                           const void *data, size_t size,
                                                           zarn_client_progress progress,
                                                           void *context);
/* The printer's output of a command, up to its end marker, in *text (free
 * with zarn_client_free). When it does not answer: ZARN_CLIENT_ERR_REPLY,
 * *text NULL, and *reply (may be NULL) says how. */
ZARN_CLIENT_API zarn_client_status zarn_client_query(zarn_client_printer *printer,
                                                     const char *command, zarn_client_reply *reply,
                                                     char **text);
/* The model name and the serial number, without trailing line breaks. */
ZARN_CLIENT_API zarn_client_status zarn_client_name(zarn_client_printer *printer,
                                                    zarn_client_reply *reply, char **text);
ZARN_CLIENT_API zarn_client_status zarn_client_serial(zarn_client_printer *printer,
                                                      zarn_client_reply *reply, char **text);

/* Renders text (UTF-8) with the TrueType font file at size points and sends
 * it as a BITMAP at x, y (dots), as zarn.h's windowsfont does.
 * ZARN_CLIENT_ERR_FILE for a font that cannot be read or used, or a text
 * that renders to nothing. */
ZARN_CLIENT_API zarn_client_status zarn_client_text_bitmap(zarn_client_printer *printer, int x,
                                                           int y, int size, const char *font,
                                                           const char *text);

/* ---- Upload ------------------------------------------------------------ */
/* ZARN_CLIENT_OK when name can name a file of size bytes in the printer;
 * ZARN_CLIENT_ERR_NAME with the reason otherwise (a double quote or a line
 * break in it, or a DOWNLOAD header that would not fit). */
ZARN_CLIENT_API zarn_client_status zarn_client_upload_name_check(const char *name, size_t size);
/* Stores the file at path in the printer as name. The file is read whole
 * and the name checked before anything is sent; files of 2 GiB or more
 * are refused. ZARN_CLIENT_ERR_NAME, _FILE or _SEND. */
ZARN_CLIENT_API zarn_client_status zarn_client_upload(zarn_client_printer *printer,
                                                      const char *path, const char *name,
                                                      zarn_client_progress progress, void *context);

/* ---- Printing pictures ------------------------------------------------- */
/* Prints a label rendered with libzarn-raster: "SIZE w mm,h mm" (the
 * bitmap's size), "CLS", its rows as one BITMAP (rows of paper above and
 * below left out) and "PRINT 1,copies", as libzarn-raster's
 * zarn_raster_encode makes them; progress counts all of the label's bytes. */
ZARN_CLIENT_API zarn_client_status zarn_client_print_bitmap(zarn_client_printer *printer,
                                                            const zarn_raster_bitmap *bitmap,
                                                            int copies,
                                                            zarn_client_progress progress,
                                                            void *context);
/* Draws a rendered bitmap at x, y (dots) on the label being built: only
 * its BITMAP, every row of it, paper included, so its white covers what
 * was drawn under it; the host sends SIZE, CLS and PRINT itself. progress
 * counts the BITMAP bytes. */
ZARN_CLIENT_API zarn_client_status zarn_client_draw_bitmap(zarn_client_printer *printer,
                                                           const zarn_raster_bitmap *bitmap, int x,
                                                           int y, zarn_client_progress progress,
                                                           void *context);
/* Renders page (1 = the first) of the picture or PDF at path with options
 * (NULL: the defaults) and prints it as above. Nothing is sent unless the
 * page renders; ZARN_CLIENT_ERR_IMAGE with libzarn-raster's message then. */
ZARN_CLIENT_API zarn_client_status zarn_client_print_file(zarn_client_printer *printer,
                                                          const char *path, int page,
                                                          const zarn_raster_options *options,
                                                          int copies, zarn_client_progress progress,
                                                          void *context);

/* ---- Texts every front end reads the same way -------------------------- */
/* A threshold: a fraction above 0 and below 1 ("0.5") or a percentage with
 * % above 0 and below 100 ("50%"); both mean the same. */
ZARN_CLIENT_API zarn_client_status zarn_client_parse_threshold(const char *text, double *fraction);
/* A page list such as "1-3,5,7-" (7- runs to the end) for a file of
 * page_count pages: the pages it names, in the file's order and each once,
 * in *pages (free with zarn_client_free) and their number in *count. An
 * empty text names every page. A page the file does not have is an error. */
ZARN_CLIENT_API zarn_client_status zarn_client_parse_pages(const char *text, int page_count,
                                                           int **pages, int *count);
/* A label size "WIDTHxHEIGHT" in mm (the default unit) or in, such as
 * "100x60mm" or "4x6in", each side above 0 and up to 1000 mm. */
ZARN_CLIENT_API zarn_client_status zarn_client_parse_label_size(const char *text, double *width_mm,
                                                                double *height_mm);

#ifdef __cplusplus
}
#endif

#endif /* ZARN_CLIENT_H */
