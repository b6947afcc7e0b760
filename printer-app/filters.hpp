// SPDX-License-Identifier: MIT
// Document filters. PDF: each page rendered at the printer's resolution by
// the raster library, fitted to the label and printed. PNG: decoded here and
// handed to PAPPL's image path (scaling, rotation, the driver's raster
// callbacks), because PAPPL's own PNG reader loops forever on a damaged file.
#pragma once

#include <pappl/pappl.h>

namespace zarn::app {

inline constexpr char kLabelFormat[] = "application/vnd.zarn-label";

bool print_pdf(pappl_job_t *job, pappl_device_t *device, void *data);
bool print_png(pappl_job_t *job, pappl_device_t *device, void *data);

} // namespace zarn::app
