// SPDX-License-Identifier: MIT
/*
 * libzarn - drive a thermal label printer over USB, a serial tty or TCP.
 *
 * One process holds at most one printer connection. Every function does its
 * input and output at once and returns; nothing is queued, cached or threaded.
 * The library keeps all its state in the process-global variables below and
 * takes no locks: call it from one thread at a time.
 *
 * Results: functions returning int give 1 for done and 0 when no connection
 * is open or the operation failed, unless their comment says otherwise.
 * Text arguments are NUL-terminated byte strings and must never be NULL.
 *
 * sendcommand, sendBinaryData and windowsfont set the process locale
 * (LC_ALL) to "en_US.utf8" on every call; the change affects the whole host.
 */
#ifndef ZARN_H
#define ZARN_H

#include <netinet/in.h> /* struct sockaddr_in */

#if defined(__GNUC__)
#define ZARN_API __attribute__((visibility("default")))
#else
#define ZARN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;

/* Longest time, in seconds, that a reply read with a terminator (Read,
 * sendcommand_getstring) goes on gathering once its first piece has arrived,
 * on every kind of connection. */
#define ZARN_GATHER_LIMIT_SECONDS 60

/* ---- Connection state (read-only for hosts) -------------------------- */

/* 1 while a connection is open, 0 otherwise. */
ZARN_API extern int openportStatus;
/* 1 while the open connection is USB. */
ZARN_API extern int openUsbPortResult;
/* 1 while the open connection is a serial tty. */
ZARN_API extern int openSerialPortResult;
/* 1 while the open connection is TCP. */
ZARN_API extern int openEthernetPortResult;
/* Always 0; kept for hosts that read it. */
ZARN_API extern int openDriverPortResult;
/* Descriptor of the serial device; keeps its last value after a close. */
ZARN_API extern int tty_device;
/* Descriptor of the TCP socket; keeps its last value after a close. */
ZARN_API extern int net_socket;
/* USB handle of the open printer; keeps its last value after a close. */
ZARN_API extern struct libusb_device_handle *dev_handle;
/* Last device list fetched while opening USB (already released). */
ZARN_API extern struct libusb_device **devs;
/* USB library context of the USB connection. */
ZARN_API extern struct libusb_context *ctx;
/* Address of the TCP printer given to the last openethernet(). */
ZARN_API extern struct sockaddr_in servaddr;

/* ---- Serial speed table --------------------------------------------- */

/* Terminal speed codes (B115200 ... B300), read in step with name_arr.
 * Writable: set_Speed() reads both tables afresh on every call. */
ZARN_API extern int speed_arr[8];
/* Bit rates 115200, 38400, 19200, 9600, 4800, 2400, 1200, 300. */
ZARN_API extern int name_arr[8];

/* ---- Connection lifecycle -------------------------------------------- */

/* Opens a printer connection, closing any open one first.
 * "USB" (exact, case-sensitive): the first USB device with the printer
 * maker's vendor ID; interface 0 is claimed (kernel driver detached).
 * A name beginning with "tty": the serial device "/dev/" + portName, set to
 * 115200 bit/s, 8N1, raw, reads time out after 15 s; a node that is not a
 * terminal is closed again and gives 0.
 * Returns 1 when the connection is open, 0 otherwise (nothing is then open). */
ZARN_API int openport(char *portName);

/* Opens a TCP connection to a dotted numeric IPv4 address (no name lookup)
 * and port (only its low 16 bits are used), closing any open connection
 * first. Blocks for the system's connect timeout. Returns 1 or 0. */
ZARN_API int openethernet(char *address, int port);

/* Closes the open connection. Returns 1 if one was closed, 0 otherwise. */
ZARN_API int closeport(void);

/* ---- Sending ---------------------------------------------------------- */

/* Sends command followed by CR LF. Returns 1 when every byte went out,
 * 0 when no connection is open or the write failed. Over USB it gives up
 * after 5 s; over serial and TCP it waits as long as the printer does not
 * read (a paused printer holds the job), until it reads or hangs up. */
ZARN_API int sendcommand(char *command);

/* Sends length bytes of data unchanged (a zero-length send is made too).
 * Returns 1 when every byte went out, 0 when no connection is open or the
 * write failed; a zero-length send gives 1 on USB and TCP, 0 on serial.
 * On every kind it waits as long as the printer does not read. */
ZARN_API int sendBinaryData(unsigned char *data, int length);

/* ---- Label commands: each returns 1 once a connection is open (whatever
 * the sends did), 0 and sends nothing otherwise. Texts go into the lines
 * unchanged (quotes, '%', commas and high bytes included); over-long lines
 * are cut at the buffer size given. A text argument that holds a CR or LF
 * would end the line and start a command of its own: then the call sends
 * nothing and returns 0. ------------------------------------------------ */

/* Sends "SIZE w mm,h mm", "SPEED s", "DENSITY d", then "BLINE g mm,o mm"
 * when mediaKind begins with '1', else "GAP g mm,o mm" (99 bytes a line). */
ZARN_API int setup(char *width, char *height, char *speed, char *density, char *mediaKind,
                   char *gapSize, char *gapOffset);

/* Sends "CLS": clears the printer's image buffer. */
ZARN_API int clearbuffer(void);

/* Sends BARCODE x,y,"type",height,readable,rotation,narrow,wide,"content"
 * (content unquoted when it begins with '@'); cut at 1023 bytes. */
ZARN_API int barcode(char *x, char *y, char *codeType, char *height, char *readable, char *rotation,
                     char *narrow, char *wide, char *content);

/* Sends TEXT x,y,"font",rotation,xMul,yMul,"content" (content unquoted
 * when it begins with '@'); cut at 499 bytes. */
ZARN_API int printerfont(char *x, char *y, char *font, char *rotation, char *xMultiplier,
                         char *yMultiplier, char *content);

/* Sends "PRINT sets,copies"; cut at 49 bytes. */
ZARN_API int printlabel(char *sets, char *copies);

/* Sends "FORMFEED". */
ZARN_API int formfeed(void);

/* Sends "SET STRIPER OFF" then "SET TEAR OFF". */
ZARN_API int nobackfeed(void);

/* ---- Queries ------------------------------------------------------------ */
/* printerstatus, printername, printerserial and sendcommand_getstring first
 * drop whatever the printer sent that nobody read (a reply that came after
 * its query gave up), without waiting for more: TCP and serial take only
 * what has arrived, USB listens for 1 ms. Read does not: it receives what
 * is there. */

/* Returns the constant text "Linux Shared Library Version V1.00\r\n";
 * never touches the connection. Do not free it. */
ZARN_API char *about(void);

/* Sends ESC ! ? and returns the first reply byte as a signed 8-bit value
 * (0x80..0xFF give -128..-1), 0 for an empty reply, 82 ('R') when the
 * receive failed, 0 when no connection is open. */
ZARN_API int printerstatus(void);

/* Sends "~!T" and returns the printer's reply text (see Read for who owns
 * it), or NULL when no connection is open. */
ZARN_API char *printername(void);

/* Sends "OUT _SERIAL$" and returns the reply text (see Read), or NULL when
 * no connection is open. */
ZARN_API char *printerserial(void);

/* Sends command, then OUT "ENDLINE", and returns everything the printer
 * sent before the first "ENDLINE\r\n" (see Read for ownership and failure
 * texts). Returns the constant "" when no connection is open. */
ZARN_API char *sendcommand_getstring(char *command);

/* ---- File download -------------------------------------------------------- */

/* Stores the file at path in the printer as name: sends
 * DOWNLOAD F,"name",n, then the n file bytes, then CR LF CR LF.
 * The file is read whole first: as many bytes as its status reports when
 * opened, or fewer if it ends sooner; n is the count actually read (a /proc
 * file reports size 0 and so is stored as an empty file). Only a regular
 * file is read: a FIFO, a device or a socket gives 0 at once and nothing is
 * sent; a directory fails as a failed read (below).
 * Returns 1 when the file was read and the three sends made (send results
 * are not checked), 0 with no connection (the file is not opened), when the
 * file cannot be opened or its size read, when it is 2 GiB or larger, or
 * when the header line would be longer than 99 bytes (a name of more than
 * 84 bytes less the count's digits), or when the name holds a double quote,
 * CR or LF (each would end the name or the header early, and the printer
 * would run the file's bytes as commands); then nothing is sent and the
 * file is not opened for a refused name. A failed read prints the one line
 * "errno: <n>" on standard output and returns 0. */
ZARN_API int downloadpcx(char *path, char *name);

/* ---- TrueType text as a bitmap ---------------------------------------- */

/* Renders text (UTF-8) with the TrueType font at fontPath and fontSize
 * points into a 1-bit bitmap and sends "BITMAP x,y,widthBytes,height,0,"
 * followed at once by the bitmap bytes (no CR LF). reserved is unused.
 * Returns 1 when sent, 0 with no connection, when the font cannot be opened
 * or is not a regular file (a FIFO or device is not read), or when the text
 * renders to nothing (an empty text: nothing is sent).
 * Each call starts and stops SDL (SDL_Init/SDL_Quit) and SDL_ttf, so a host
 * using SDL itself finds it shut down afterwards. SDL's "offscreen" video
 * driver is asked for unless the host sets SDL_VIDEODRIVER. SDL is told not
 * to install signal handlers, so the host's SIGINT and SIGTERM stay its own. */
ZARN_API int windowsfont(int x, int y, int fontSize, int reserved, char *fontPath, char *text);

#ifdef __cplusplus
} /* extern "C" */

/* ---- Functions exported with C++ names -------------------------------- */

/* Sets the open serial line to speed bit/s when it is one of name_arr's
 * rates (pending input and output are discarded); any other rate changes
 * nothing. Does nothing unless a serial connection is open (tty_device
 * keeps its number after closeport, when it may name another descriptor). */
ZARN_API void set_Speed(int speed);

/* Sets databits (7 or 8), stopbits (1 or 2) and parity ('N', 'O', 'E' or
 * 'S', either case) on the open serial line, with raw mode, no software flow
 * control, VMIN 0 and VTIME 150 (reads return after 15 s without data).
 * Returns 1 when applied, 0 when no serial connection is open, for an
 * unsupported value (nothing changes) or a failed terminal call. */
ZARN_API int set_Parity(int databits, int stopbits, int parity);

/* Reads a reply from the printer.
 * terminator "": one receive; its bytes up to the first zero byte are
 * returned. Otherwise receives until the text gathered so far contains
 * terminator and returns what came before it (later bytes are dropped).
 * The gathered text ends at its first zero byte: a terminator behind one
 * is never found.
 * Waits: USB transfers 10 s each; serial and TCP wait up to 10 s for the
 * first byte, TCP up to 10 s for each later piece; on every kind all later
 * pieces together take at most ZARN_GATHER_LIMIT_SECONDS.
 * Returns, never NULL:
 *  - the constant "" for every empty reply: no connection, silence or a
 *    failed first read on serial, silence before the first byte on TCP, or
 *    a reply with no text;
 *  - the constant "Receive Failed\r\n" when a USB or TCP receive fails, the
 *    printer closes or falls silent while gathering, or 65535 bytes arrive
 *    without the terminator (and for a reply of exactly that text);
 *  - otherwise a text allocated with new[] that the caller owns.
 * So a reply's text alone says who owns it: "" and "Receive Failed\r\n" are
 * the library's and must never be released; any other reply is the
 * caller's. A C++ host releases it with zarn_free_reply() (or delete[]).
 * A C host cannot release it: free() must not be given a new[] text, so
 * each such reply stays allocated until the process ends. */
ZARN_API char *Read(char *terminator);

/* Releases a reply returned by Read(), printername(), printerserial() or
 * sendcommand_getstring(), or does nothing for NULL and for the two
 * constants (told apart by their text, which no allocated reply has). */
inline void zarn_free_reply(char *reply)
{
  if (reply == nullptr || reply[0] == '\0')
    return;
  static constexpr char failed[] = "Receive Failed\r\n";
  for (int i = 0;; ++i) {
    if (reply[i] != failed[i])
      break;
    if (failed[i] == '\0')
      return;
  }
  delete[] reply;
}
#endif /* __cplusplus */

#endif /* ZARN_H */
