// SPDX-License-Identifier: MIT
// PDF pages through Poppler (GLib interface) and cairo, rendered straight
// at the printer's resolution onto the label, in bands of rows so a
// 600-dpi page never needs a full-page colour surface. Text and lines are
// drawn without antialiasing, so they arrive pure black and white and the
// dithering leaves them alone.
#pragma once

#include "core.hpp"
#include "common/handle.hpp"
#include "render.hpp"

#include <cstdint>
#include <memory>
#include <span>

namespace zarn::raster {

struct PdfDocument;
void pdf_close(PdfDocument *doc);
using PdfPtr = zarn::Owned<PdfDocument, pdf_close>;

// Opens the PDF in data, which must stay alive and unchanged as long as the
// document does.
PdfPtr pdf_open(std::span<const std::uint8_t> data);
int pdf_pages(const PdfDocument &doc);

// Renders page (1-based) as a label.
BitmapPtr pdf_render(PdfDocument &doc, int page, const Settings &s);

} // namespace zarn::raster
