// SPDX-License-Identifier: MIT
// windowsfont: TrueType text rendered by SDL_ttf and sent as a BITMAP block.
// SDL and the font engine are started and stopped within every call; nothing
// is cached, so a host that never prints TrueType text pays nothing for it.
#include "zarn.h"
#include "commands/format.hpp"
#include "commands/input_file.hpp"
#include "commands/mono_bitmap.hpp"
#include "common/handle.hpp"
#include "port/guard.hpp"
#include "wire/wire.hpp"

#include <SDL.h>
#include <SDL_ttf.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

namespace {

using zarn::commands::MonoBitmap;

using FontPtr = zarn::Owned<TTF_Font, TTF_CloseFont>;
using SurfacePtr = zarn::Owned<SDL_Surface, SDL_FreeSurface>;

// The font file as an SDL stream, opened only when it is a regular file
// (SDL would wait forever on a FIFO without a writer). Null when it is not.
SDL_RWops *font_stream(const char *fontPath)
{
  zarn::UniqueFd fd =
      zarn::commands::open_input_file(fontPath, zarn::commands::Directories::refused);
  if (!fd)
    return nullptr;
  FILE *file = fdopen(fd.get(), "rb");
  if (file == nullptr)
    return nullptr;
  fd.release(); // the stream owns the descriptor now
  SDL_RWops *stream = SDL_RWFromFP(file, SDL_TRUE);
  if (stream == nullptr)
    std::fclose(file);
  return stream;
}

// SDL and the font engine for the length of one call. Declared before the
// font and surface, so those are released first, before TTF_Quit.
class RenderEngines {
 public:
  RenderEngines()
  {
    // With a display around, the default video driver would connect to it on
    // every call (slow), and without one it warns on stderr. At default
    // priority the hint still yields to a host's own SDL_VIDEODRIVER.
    SDL_SetHintWithPriority(SDL_HINT_VIDEODRIVER, "offscreen", SDL_HINT_DEFAULT);
    // SDL would catch SIGINT and SIGTERM while it runs, and a host with the
    // default action would then not stop: a library leaves signals alone.
    SDL_SetHintWithPriority(SDL_HINT_NO_SIGNAL_HANDLERS, "1", SDL_HINT_OVERRIDE);
    SDL_Init(SDL_INIT_TIMER | SDL_INIT_VIDEO);
    TTF_Init();
  }
  ~RenderEngines()
  {
    TTF_Quit();
    SDL_Quit();
  }
  RenderEngines(const RenderEngines &) = delete;
  RenderEngines &operator=(const RenderEngines &) = delete;
};

enum class Rendered { bitmap, no_font, nothing };

Rendered render(const char *fontPath, int fontSize, const char *text,
                std::optional<MonoBitmap> &bitmap)
{
  RenderEngines engines;
  SDL_RWops *stream = font_stream(fontPath);
  if (stream == nullptr)
    return Rendered::no_font;
  // The font takes the stream and closes it, also when it fails to open.
  const FontPtr font(TTF_OpenFontRW(stream, 1, fontSize));
  if (!font)
    return Rendered::no_font;
  // An empty text renders to no surface at all.
  const SurfacePtr surface(TTF_RenderUTF8_Solid(font.get(), text, SDL_Color{0, 0, 0, 0}));
  if (!surface)
    return Rendered::nothing;
  bitmap = zarn::commands::to_mono_bitmap(*surface);
  return bitmap ? Rendered::bitmap : Rendered::nothing;
}

} // namespace

extern "C" int windowsfont(int x, int y, int fontSize, int /*reserved*/, char *fontPath, char *text)
{
  return zarn::port::guarded(0, [&] {
    if (!zarn::port::status_is_nonzero())
      return 0;
    std::setlocale(LC_ALL, "en_US.utf8");
    std::optional<MonoBitmap> bitmap;
    if (render(fontPath, fontSize, text, bitmap) != Rendered::bitmap)
      return 0;
    std::string header = zarn::wire::bitmap_header(x, y, bitmap->width_bytes, bitmap->height);
    sendBinaryData(reinterpret_cast<unsigned char *>(header.data()),
                   static_cast<int>(header.size()));
    sendBinaryData(bitmap->bytes.data(), static_cast<int>(bitmap->bytes.size()));
    return 1;
  });
}
