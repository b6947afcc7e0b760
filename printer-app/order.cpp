// SPDX-License-Identifier: MIT
#include "order.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <algorithm>
#include <set>
#include <vector>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace zarn::app {

namespace {

using namespace std::chrono_literals;

// PAPPL calls its event callback with its own locks held, so the callback
// only notes which printer changed; holds and releases happen on this
// thread, which keeps each printer to one rule: while it prints, every
// other waiting job is held; when it is free, the oldest waiting job is
// released and the others stay held. Jobs held by whoever sent them are
// left alone.
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
      for (const int id : printers)
        keep_order(id);
    }
  }

 private:
  struct Active {
    int id;
    ipp_jstate_t state;
  };

  void keep_order(int printer_id)
  {
    pappl_printer_t *p = papplSystemFindPrinter(system_, nullptr, printer_id, nullptr);
    if (p == nullptr)
      return;
    std::vector<Active> active;
    papplPrinterIterateActiveJobs(
        p,
        [](pappl_job_t *job, void *data) {
          static_cast<std::vector<Active> *>(data)->push_back(
              {papplJobGetID(job), papplJobGetState(job)});
        },
        &active, 1, 0);
    std::set<int> &ours = ours_[printer_id];
    bool printing = false;
    std::vector<int> waiting; // pending, or held by us
    for (const Active &a : active) {
      if (a.state == IPP_JSTATE_PROCESSING || a.state == IPP_JSTATE_STOPPED)
        printing = true;
      else if (a.state == IPP_JSTATE_PENDING || (a.state == IPP_JSTATE_HELD && ours.count(a.id)))
        waiting.push_back(a.id);
    }
    std::sort(waiting.begin(), waiting.end());
    std::set<int> still_ours;
    for (std::size_t i = 0; i < waiting.size(); ++i) {
      pappl_job_t *job = papplPrinterFindJob(p, waiting[i]);
      if (job == nullptr)
        continue;
      const bool its_turn = !printing && i == 0;
      const ipp_jstate_t state = papplJobGetState(job);
      if (its_turn) {
        if (state == IPP_JSTATE_HELD && papplJobRelease(job, nullptr))
          papplJobSetMessage(job, "Its turn has come.");
      } else {
        if (state == IPP_JSTATE_PENDING && papplJobHold(job, nullptr, "indefinite", 0))
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
  std::mutex mutex_; // changed_
  std::condition_variable wake_;
  std::set<int> changed_;
  std::map<int, std::set<int>> ours_; // per printer: the jobs this holds
};

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
  std::thread([orderer] { orderer->run(); }).detach();
  papplSystemSetEventCallback(system, on_event, orderer);
}

} // namespace zarn::app
