// SPDX-License-Identifier: MIT
// A printer's jobs print in the order they were accepted. PAPPL picks the
// newest waiting job when a printer comes free, so a backlog (paper out,
// a paused printer, a burst) would print 1, 5, 4, 3, 2; shipping labels are
// matched to parcels in the order they were sent. So of the jobs waiting
// for a printer only the oldest is left pending, for PAPPL to start next;
// the others are held, and released oldest first. The held jobs are
// written to a file so that a restart releases them too.
#pragma once

#include <pappl/pappl.h>

#include <string>

namespace zarn::app {

// Starts keeping order for every printer of system (after its state is
// loaded); order_file keeps the jobs held for their turn.
void keep_job_order(pappl_system_t *system, const std::string &order_file);

// Called on the thread of a job that has printed, before PAPPL picks its
// printer's next job: holds every waiting job of the printer but the
// oldest, which is released, so that PAPPL starts that one next.
void settle_job_order(pappl_job_t *ending);

// The application is stopping: every waiting job of every printer is held
// for its turn after the restart (PAPPL would start and abort them).
void stop_job_order();

} // namespace zarn::app
