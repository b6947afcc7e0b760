// SPDX-License-Identifier: MIT
#include "status.hpp"

namespace zarn::app {

namespace {

struct Mapping {
  Condition condition;
  pappl_preason_t reason;
  const char *keyword;
};

constexpr Mapping kMappings[] = {
    {Condition::paper_out, PAPPL_PREASON_MEDIA_EMPTY, "media-empty"},
    {Condition::paper_jam, PAPPL_PREASON_MEDIA_JAM, "media-jam"},
    {Condition::ribbon_out, PAPPL_PREASON_MARKER_SUPPLY_EMPTY, "marker-supply-empty"},
    {Condition::head_open, PAPPL_PREASON_COVER_OPEN, "cover-open"},
    {Condition::cover_open, PAPPL_PREASON_COVER_OPEN, "cover-open"},
    {Condition::temperature, PAPPL_PREASON_OTHER, "other"},
};

// The conditions that stop the printer.
constexpr Condition kStopping[] = {Condition::head_open, Condition::paper_jam,
                                   Condition::paper_out, Condition::ribbon_out,
                                   Condition::paused,    Condition::cover_open};

} // namespace

bool ready_to_print(const Status &status)
{
  if (!status.answered())
    return false;
  for (const Condition c : kStopping)
    if (status.has(c))
      return false;
  return true;
}

pappl_preason_t reasons_for(const Status &status)
{
  if (!status.answered())
    return PAPPL_PREASON_OFFLINE;
  pappl_preason_t reasons = PAPPL_PREASON_NONE;
  for (const Mapping &m : kMappings)
    if (status.has(m.condition))
      reasons |= m.reason;
  return reasons;
}

std::string describe(const Status &status)
{
  if (!status.answered())
    return "no reply from the printer";
  std::string text;
  pappl_preason_t seen = PAPPL_PREASON_NONE;
  const auto add = [&](const char *word) {
    if (!text.empty())
      text += ", ";
    text += word;
  };
  for (const Mapping &m : kMappings)
    if (status.has(m.condition) && !(seen & m.reason)) {
      seen |= m.reason;
      add(m.keyword);
    }
  if (status.has(Condition::paused))
    add("paused");
  return text.empty() ? "ready" : text;
}

} // namespace zarn::app
