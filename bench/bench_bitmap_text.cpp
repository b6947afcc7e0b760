// SPDX-License-Identifier: MIT
// windowsfont per call (SDL, font engine, rendering, conversion and send, all
// of it per call by design), and the 1-bit conversion on its own: the rule
// evaluated per pixel through SDL_GetRGB versus once per palette entry.
#include "commands/mono_bitmap.hpp"
#include "common/handle.hpp"
#include "host_calls.hpp"
#include "loopback_peer.hpp"
#include "zarn.h"

#include <benchmark/benchmark.h>

#include <SDL.h>
#include <SDL_ttf.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const char *const kFont = ZARN_TEST_FONT;
const std::string kShort = "Hello";
// 80 characters of mixed text, as a long label line would be.
const std::string kLine80 =
    "The quick brown fox jumps over the lazy dog 0123456789 ABCDEFGHIJKLMNOPQRSTUVWXY";

using zarn::test::text;

// A loopback printer that reads and discards everything.
using Sink = zarn::test::LoopbackPeer;

void windowsfont_call(benchmark::State &state, const std::string &s, int size)
{
  if (access(kFont, R_OK) != 0) {
    state.SkipWithError("no TrueType font found by fc-match (fonts-dejavu-core)");
    return;
  }
  Sink sink;
  if (openethernet(text("127.0.0.1"), sink.port()) != 1) {
    state.SkipWithError("openethernet failed");
    return;
  }
  for (auto _ : state)
    if (windowsfont(10, 10, size, 0, text(kFont), text(s)) != 1) {
      state.SkipWithError("windowsfont failed");
      break;
    }
  closeport();
}

// The 80-character line at 48 pt, rendered once, as the conversion's input.
struct Rendered {
  zarn::Owned<SDL_Surface, SDL_FreeSurface> surface;
  Rendered()
  {
    if (TTF_Init() != 0)
      return;
    if (const zarn::Owned<TTF_Font, TTF_CloseFont> font{TTF_OpenFont(kFont, 48)})
      surface.reset(TTF_RenderUTF8_Solid(font.get(), kLine80.c_str(), SDL_Color{0, 0, 0, 0}));
  }
  ~Rendered()
  {
    surface.reset();
    TTF_Quit();
  }
};

template <typename Convert>
void conversion(benchmark::State &state, Convert convert)
{
  const Rendered r;
  if (r.surface == nullptr) {
    state.SkipWithError("could not render the sample line");
    return;
  }
  for (auto _ : state)
    benchmark::DoNotOptimize(convert(*r.surface));
  const auto pixels = static_cast<std::int64_t>(r.surface->w) * r.surface->h;
  state.SetItemsProcessed(state.iterations() * pixels);
  state.SetLabel(std::to_string(r.surface->w) + "x" + std::to_string(r.surface->h) + " px");
}

void short_24pt(benchmark::State &state) { windowsfont_call(state, kShort, 24); }
void line80_48pt(benchmark::State &state) { windowsfont_call(state, kLine80, 48); }
void per_pixel(benchmark::State &state)
{
  conversion(state, zarn::commands::to_mono_bitmap_per_pixel);
}
void per_palette_entry(benchmark::State &state)
{
  conversion(state, zarn::commands::to_mono_bitmap);
}

// SDL and the font engine start per call: wall time is what a host waits.
BENCHMARK(short_24pt)->Name("windowsfont/short_24pt")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(line80_48pt)
    ->Name("windowsfont/line80_48pt")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(per_pixel)->Name("bitmap_80ch_48pt/per_pixel")->Unit(benchmark::kMicrosecond);
BENCHMARK(per_palette_entry)->Name("bitmap_80ch_48pt/per_palette")->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
