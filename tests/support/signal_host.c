// SPDX-License-Identifier: MIT
/* A host that is inside windowsfont when its parent signals it: the
 * rendering call is taken over (the executable's definition comes first),
 * says "rendering" on standard output and then sleeps, so a SIGTERM sent on
 * that word lands while SDL is initialised.
 *   signal_host PORT FONT
 * Exit status 0: windowsfont came back, so a signal was swallowed. */
#define _GNU_SOURCE
#include "zarn.h"

#include <SDL_ttf.h>

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

typedef SDL_Surface *(*RenderFn)(TTF_Font *, const char *, SDL_Color);

SDL_Surface *TTF_RenderUTF8_Solid(TTF_Font *font, const char *text, SDL_Color fg)
{
  RenderFn real = (RenderFn)dlsym(RTLD_NEXT, "TTF_RenderUTF8_Solid");
  const struct timespec pause = {5, 0};
  if (write(STDOUT_FILENO, "rendering\n", 10) != 10)
    return NULL;
  nanosleep(&pause, NULL); /* a handled signal ends it early */
  return real(font, text, fg);
}

int main(int argc, char **argv)
{
  if (argc != 3) {
    fprintf(stderr, "usage: signal_host PORT FONT\n");
    return 2;
  }
  if (openethernet("127.0.0.1", atoi(argv[1])) != 1) {
    fprintf(stderr, "signal_host: cannot connect\n");
    return 3;
  }
  windowsfont(0, 0, 12, 0, argv[2], "x");
  closeport();
  return 0;
}
