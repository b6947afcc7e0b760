// PDF jobs: each page rendered at the printer's resolution by the raster
// library, fitted to the label, and printed.
#pragma once

#include <pappl/pappl.h>

namespace zarn::app {

inline constexpr char kLabelFormat[] = "application/vnd.zarn-label";

bool print_pdf(pappl_job_t *job, pappl_device_t *device, void *data);

} // namespace zarn::app
