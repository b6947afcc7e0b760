#include "status.hpp"

namespace zarn::app {

namespace {

struct Mapping {
  std::uint8_t bit;
  pappl_preason_t reason;
  const char *keyword;
};

constexpr Mapping kMappings[] = {
    {kPaperOut, PAPPL_PREASON_MEDIA_EMPTY, "media-empty"},
    {kPaperJam, PAPPL_PREASON_MEDIA_JAM, "media-jam"},
    {kRibbonOut, PAPPL_PREASON_MARKER_SUPPLY_EMPTY, "marker-supply-empty"},
    {kHeadOpen, PAPPL_PREASON_COVER_OPEN, "cover-open"},
    {kCoverOpen, PAPPL_PREASON_COVER_OPEN, "cover-open"},
    {kOtherError, PAPPL_PREASON_OTHER, "other"},
};

} // namespace

pappl_preason_t reasons_for(const PrinterStatus &status)
{
  if (!status.answered)
    return PAPPL_PREASON_OFFLINE;
  pappl_preason_t reasons = PAPPL_PREASON_NONE;
  for (const Mapping &m : kMappings)
    if (status.byte & m.bit)
      reasons |= m.reason;
  return reasons;
}

std::string describe(const PrinterStatus &status)
{
  if (!status.answered)
    return "no reply from the printer";
  std::string text;
  pappl_preason_t seen = PAPPL_PREASON_NONE;
  const auto add = [&](const char *word) {
    if (!text.empty())
      text += ", ";
    text += word;
  };
  for (const Mapping &m : kMappings)
    if ((status.byte & m.bit) && !(seen & m.reason)) {
      seen |= m.reason;
      add(m.keyword);
    }
  if (status.byte & kPaused)
    add("paused");
  return text.empty() ? "ready" : text;
}

} // namespace zarn::app
