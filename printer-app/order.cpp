// SPDX-License-Identifier: MIT
#include "order.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

namespace zarn::app {

namespace {

using namespace std::chrono_literals;

// PAPPL calls its event callback with its own locks held, so the callback
// only notes which printer changed; holds and releases happen on this
// thread, which keeps each printer to one rule: the oldest waiting job is
// pending, every other waiting job is held. Jobs held by whoever sent them
// are left alone.
//
// That thread comes a moment late: a job that arrived while the printer
// printed is still pending when the printer frees, and PAPPL would start
// it ahead of older ones. So the job that ends settles the order itself,
// on its own thread, before PAPPL picks the next one.
class Orderer {
 public:
  Orderer(pappl_system_t *system, std::string file) : system_(system), file_(std::move(file))
  {
    restore();
  }

  void changed(int printer)
  {
    {
      std::lock_guard lock(mutex_);
      changed_.insert(printer);
    }
    wake_.notify_one();
  }

  void settle(int printer_id)
  {
    std::lock_guard lock(order_mutex_);
    keep_order(printer_id);
  }

  // From now on every waiting job is held, to print after a restart.
  void stop()
  {
    std::lock_guard lock(order_mutex_);
    stopping_ = true;
    std::vector<int> printers;
    papplSystemIteratePrinters(
        system_,
        [](pappl_printer_t *p, void *data) {
          static_cast<std::vector<int> *>(data)->push_back(papplPrinterGetID(p));
        },
        &printers);
    for (const int id : printers)
      keep_order(id);
  }

  void run()
  {
    for (;;) {
      std::set<int> printers;
      {
        std::unique_lock lock(mutex_);
        // The tick looks at every printer, in case an event was missed.
        if (!wake_.wait_for(lock, 500ms, [&] { return !changed_.empty(); }))
          for (const auto &[id, jobs] : ours_)
            changed_.insert(id);
        printers.swap(changed_);
      }
      std::lock_guard lock(order_mutex_);
      for (const int id : printers)
        keep_order(id);
    }
  }

 private:
  struct Active {
    int id;
    ipp_jstate_t state;
    pappl_jreason_t reasons;
  };

  static std::vector<Active> active_jobs(pappl_printer_t *p)
  {
    std::vector<Active> active;
    papplPrinterIterateActiveJobs(
        p,
        [](pappl_job_t *job, void *data) {
          static_cast<std::vector<Active> *>(data)->push_back(
              {papplJobGetID(job), papplJobGetState(job), papplJobGetReasons(job)});
        },
        &active, 1, 0);
    return active;
  }

  void keep_order(int printer_id)
  {
    pappl_printer_t *p = papplSystemFindPrinter(system_, nullptr, printer_id, nullptr);
    if (p == nullptr)
      return;
    const std::vector<Active> active = active_jobs(p);
    std::set<int> &ours = ours_[printer_id];
    std::vector<int> waiting; // pending, held by us, or still arriving
    std::set<int> arriving;
    for (const Active &a : active) {
      const bool held = a.state == IPP_JSTATE_HELD;
      // PAPPL keeps a job held while its document arrives; one that its
      // sender holds says so in its reasons.
      if (held && !ours.count(a.id) && (a.reasons & PAPPL_JREASON_JOB_INCOMING) &&
          !(a.reasons & PAPPL_JREASON_JOB_HOLD_UNTIL_SPECIFIED))
        arriving.insert(a.id);
      if (a.state == IPP_JSTATE_PENDING || (held && ours.count(a.id)) || arriving.count(a.id))
        waiting.push_back(a.id);
    }
    std::sort(waiting.begin(), waiting.end());
    std::set<int> still_ours;
    for (std::size_t i = 0; i < waiting.size(); ++i) {
      pappl_job_t *job = papplPrinterFindJob(p, waiting[i]);
      if (job == nullptr)
        continue;
      // The oldest stays pending even while another job prints, so that
      // PAPPL has it to start next.
      const ipp_jstate_t state = papplJobGetState(job);
      // While the application stops, PAPPL would start one waiting job
      // after another only to have each end as aborted.
      if (i == 0 && !stopping_ && !papplSystemIsShutdown(system_)) {
        // Not before its document is all there: PAPPL would start it.
        if (state == IPP_JSTATE_HELD && !arriving.count(waiting[i]) &&
            !(papplJobGetReasons(job) & PAPPL_JREASON_JOB_INCOMING) &&
            papplJobRelease(job, nullptr))
          papplJobSetMessage(job, "Its turn has come.");
        else if (papplJobGetState(job) == IPP_JSTATE_HELD && ours.count(waiting[i]))
          still_ours.insert(waiting[i]);
      } else {
        // A job still arriving is held before PAPPL could make it pending.
        if ((state == IPP_JSTATE_PENDING || arriving.count(waiting[i])) &&
            papplJobHold(job, nullptr, "indefinite", 0))
          papplJobSetMessage(job, "Waiting for the jobs sent before it.");
        if (papplJobGetState(job) == IPP_JSTATE_HELD)
          still_ours.insert(waiting[i]);
      }
    }
    if (still_ours != ours) {
      ours = std::move(still_ours);
      save();
    }
    if (ours.empty())
      ours_.erase(printer_id);
  }

  void save()
  {
    const std::string temp = file_ + ".new";
    {
      std::ofstream out(temp, std::ios::trunc);
      for (const auto &[printer, jobs] : ours_)
        for (const int job : jobs)
          out << printer << ' ' << job << '\n';
    }
    std::rename(temp.c_str(), file_.c_str());
  }

  // Jobs held for their turn before a restart wait for it again.
  void restore()
  {
    std::ifstream in(file_);
    int printer_id = 0, job_id = 0;
    while (in >> printer_id >> job_id)
      ours_[printer_id].insert(job_id);
  }

  pappl_system_t *system_;
  std::string file_;
  std::mutex mutex_; // changed_; never held while PAPPL is called
  std::condition_variable wake_;
  std::set<int> changed_;
  std::mutex order_mutex_; // ours_, stopping_ and the holds and releases
  bool stopping_ = false;
  std::map<int, std::set<int>> ours_; // per printer: the jobs this holds
};

Orderer *the_orderer = nullptr;

void on_event(pappl_system_t * /*system*/, pappl_printer_t *printer, pappl_job_t *job,
              pappl_event_t event, void *data)
{
  if (printer != nullptr && job != nullptr && (event & PAPPL_EVENT_JOB_ALL) != 0)
    static_cast<Orderer *>(data)->changed(papplPrinterGetID(printer));
}

} // namespace

void keep_job_order(pappl_system_t *system, const std::string &order_file)
{
  // Lives as long as the process, as the system does.
  auto *orderer = new Orderer(system, order_file);
  the_orderer = orderer;
  std::thread([orderer] { orderer->run(); }).detach();
  papplSystemSetEventCallback(system, on_event, orderer);
}

void stop_job_order()
{
  if (the_orderer != nullptr)
    the_orderer->stop();
}

void settle_job_order(pappl_job_t *ending)
{
  if (the_orderer != nullptr)
    the_orderer->settle(papplPrinterGetID(papplJobGetPrinter(ending)));
}

} // namespace zarn::app
