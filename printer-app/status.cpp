// SPDX-License-Identifier: MIT
#include "status.hpp"

namespace zarn::app {

namespace {

struct Mapping {
  unsigned char bit;
  pappl_preason_t reason;
  const char *keyword;
};

constexpr Mapping kMappings[] = {
    {ZARN_CLIENT_BIT_PAPER_OUT, PAPPL_PREASON_MEDIA_EMPTY, "media-empty"},
    {ZARN_CLIENT_BIT_PAPER_JAM, PAPPL_PREASON_MEDIA_JAM, "media-jam"},
    {ZARN_CLIENT_BIT_RIBBON_OUT, PAPPL_PREASON_MARKER_SUPPLY_EMPTY, "marker-supply-empty"},
    {ZARN_CLIENT_BIT_HEAD_OPEN, PAPPL_PREASON_COVER_OPEN, "cover-open"},
    {ZARN_CLIENT_BIT_COVER_OPEN, PAPPL_PREASON_COVER_OPEN, "cover-open"},
    {ZARN_CLIENT_BIT_TEMPERATURE, PAPPL_PREASON_OTHER, "other"},
};

// The conditions that stop the printer.
constexpr unsigned char kStopping = ZARN_CLIENT_BIT_HEAD_OPEN | ZARN_CLIENT_BIT_PAPER_JAM |
                                    ZARN_CLIENT_BIT_PAPER_OUT | ZARN_CLIENT_BIT_RIBBON_OUT |
                                    ZARN_CLIENT_BIT_PAUSED | ZARN_CLIENT_BIT_COVER_OPEN;

} // namespace

bool answered(const Status &status) { return status.reply == ZARN_CLIENT_REPLY_ANSWERED; }

bool has(const Status &status, unsigned char bit)
{
  return answered(status) && (status.bits & bit) != 0;
}

bool ready_to_print(const Status &status) { return answered(status) && !has(status, kStopping); }

pappl_preason_t reasons_for(const Status &status)
{
  if (!answered(status))
    return PAPPL_PREASON_OFFLINE;
  pappl_preason_t reasons = PAPPL_PREASON_NONE;
  for (const Mapping &m : kMappings)
    if (has(status, m.bit))
      reasons |= m.reason;
  return reasons;
}

std::string describe(const Status &status)
{
  switch (status.reply) {
  case ZARN_CLIENT_REPLY_ANSWERED: break;
  case ZARN_CLIENT_REPLY_DISCONNECTED: return "the printer disconnected";
  case ZARN_CLIENT_REPLY_RECEIVE_FAILED: return "the printer's reply could not be received";
  default: return "no reply from the printer";
  }
  std::string text;
  pappl_preason_t seen = PAPPL_PREASON_NONE;
  const auto add = [&](const char *word) {
    if (!text.empty())
      text += ", ";
    text += word;
  };
  for (const Mapping &m : kMappings)
    if (has(status, m.bit) && !(seen & m.reason)) {
      seen |= m.reason;
      add(m.keyword);
    }
  if (has(status, ZARN_CLIENT_BIT_PAUSED))
    add("paused");
  return text.empty() ? "ready" : text;
}

} // namespace zarn::app
