#include "fleet.h"

#include <array>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <unordered_map>

#include <nlohmann/json.hpp>

namespace garnel {

namespace {

// The width of the report's name field, in code points.
constexpr size_t kNameWidth = 28;

// The report's longest header: two GiB figures, two counts of 20 digits and
// 37 fixed bytes.
constexpr size_t kMaxHeaderLength = 2 * kMaxGibLength + 2 * 20 + 37;

// The longest status of a model not admitted: 27 bytes before its GiB
// figure and 4 after.
constexpr size_t kNotAdmittedBound = 27 + kMaxGibLength + 4;

// The first slot named `model`, const or not, so both lookups scan alike.
template <class Slots>
auto first_slot_named(Slots& slots, std::string_view model) -> decltype(slots.data()) {
  for (auto& slot : slots) {
    if (slot.declared.model == model) return &slot;
  }
  return nullptr;
}

// Bytes of UTF-8 text that continue a sequence (10xxxxxx), eight at a time.
size_t continuing_bytes(std::string_view text) {
  constexpr uint64_t kLowBits = 0x0101010101010101;
  size_t continuing = 0;
  size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, text.data() + i, sizeof word);
    // One bit per continuing byte, at the bottom of that byte; the product
    // gathers their sum (at most 8) into the top byte.
    const uint64_t flags = (word >> 7) & ~(word >> 6) & kLowBits;
    continuing += static_cast<size_t>((flags * kLowBits) >> 56);
  }
  for (; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++continuing;
  }
  return continuing;
}

// Copies text to out and returns its width in code points. Every report line
// copies a name; the copy also tells whether the name is plain ASCII, whose
// width is its length, and only other names are counted.
size_t copy_measuring(char* out, std::string_view text) {
  if ((internal::copy_text(out, text) & 0x8080808080808080) == 0) return text.size();
  return text.size() - continuing_bytes(text);
}

// The most bytes a report line takes but for a failure's detail: two
// blanks, the name and at least one blank in a field of 28, the status and
// the line feed. A status is the residency's explanation or "not admitted
// — short by {GiB} GiB".
size_t report_line_bound_but_detail(std::string_view name) {
  static_assert(kNotAdmittedBound <= kMaxFixedExplainLength,
                "every explanation's bound holds the status of a model not admitted");
  return 2 + kNameWidth + 1 + name.size() + kMaxFixedExplainLength + 1;
}

// The route for an admitted slot, from its residency alone, its texts
// viewed where they are.
RouteView admitted_route(const Slot& slot, std::string_view model, uint64_t now) {
  return std::visit(
      Overloaded{
          [&](const NeverProbed&) -> RouteView {
            return BasicRouteUnknown<std::string_view>{model};
          },
          [&](const Loading& s) -> RouteView {
            return BasicRouteWarming<std::string_view>{model, saturating_sub(now, s.since_ms)};
          },
          [&](const Resident&) -> RouteView {
            if (!slot.endpoint) return BasicRouteUnknown<std::string_view>{model};
            return BasicRouteReady<std::string_view>{model, *slot.endpoint};
          },
          [&](const Lost& s) -> RouteView {
            return BasicRouteLost<std::string_view>{model, s.reason,
                                                    lost_reason_is_operator_fault(s.reason)};
          },
          [&](const Failed& s) -> RouteView {
            return BasicRouteFailed<std::string_view>{model, s.detail};
          },
          [&](const Stopped&) -> RouteView { return BasicRouteUnknown<std::string_view>{model}; },
      },
      slot.residency.state);
}

// A kind with its texts copied.
template <template <class> class Kind>
Kind<std::string> owned(const Kind<std::string_view>& view) {
  if constexpr (std::is_same_v<Kind<std::string>, RouteReady>) {
    return {std::string(view.model), std::string(view.endpoint)};
  } else if constexpr (std::is_same_v<Kind<std::string>, RouteFailed>) {
    return {std::string(view.model), std::string(view.reason)};
  } else if constexpr (std::is_same_v<Kind<std::string>, RouteWarming>) {
    return {std::string(view.model), view.for_ms};
  } else if constexpr (std::is_same_v<Kind<std::string>, RouteLost>) {
    return {std::string(view.model), view.reason, view.operator_fault};
  } else if constexpr (std::is_same_v<Kind<std::string>, RouteNotAdmitted>) {
    return {std::string(view.model), view.short_bytes};
  } else {
    return {std::string(view.model)};
  }
}

}  // namespace

std::string_view route_tag(const Route& route) {
  return std::visit(
      [](const auto& kind) {
        using Kind = std::decay_t<decltype(kind)>;
        static_assert(!kRouteTag<Kind>.empty(), "every route kind has a tag");
        return kRouteTag<Kind>;
      },
      route);
}

JsonValue route_json(const Route& route) {
  JsonValue object =
      std::visit(Overloaded{
                     [](const RouteReady& r) {
                       return JsonValue{{"model", r.model}, {"endpoint", r.endpoint}};
                     },
                     [](const RouteWarming& r) {
                       return JsonValue{{"model", r.model}, {"for_ms", r.for_ms}};
                     },
                     [](const RouteLost& r) {
                       return JsonValue{{"model", r.model},
                                        {"reason", lost_reason_json_name(r.reason)},
                                        {"operator_fault", r.operator_fault}};
                     },
                     [](const RouteFailed& r) {
                       return JsonValue{{"model", r.model}, {"reason", r.reason}};
                     },
                     [](const RouteNotAdmitted& r) {
                       return JsonValue{{"model", r.model}, {"short_bytes", r.short_bytes}};
                     },
                     [](const RouteNotDeclared& r) {
                       return JsonValue{{"model", r.model}};
                     },
                     [](const RouteUnknown& r) {
                       return JsonValue{{"model", r.model}};
                     },
                 },
                 route);
  object["route"] = route_tag(route);
  return object;
}

RouteFlags route_flags(const Route& route) {
  return std::visit([](const auto& kind) { return route_flags(kind); }, route);
}

const Slot* Fleet::slot_named(std::string_view model) const {
  return first_slot_named(slots, model);
}

void Fleet::observe(std::string_view model, const Observation& observation, uint64_t now) {
  Slot* slot = first_slot_named(slots, model);
  if (slot == nullptr) return;
  slot->residency = slot->residency.observe(observation, now);
}

void Fleet::set_endpoint(std::string_view model, std::string_view endpoint) {
  Slot* slot = first_slot_named(slots, model);
  if (slot == nullptr) return;
  slot->endpoint = std::string(endpoint);
}

uint64_t Fleet::live_committed_bytes() const {
  uint64_t committed = 0;
  for (const Slot& slot : slots) {
    if (const auto* resident = std::get_if<Resident>(&slot.residency.state)) {
      committed = saturating_add(committed, resident->vram_bytes);
    }
  }
  return committed;
}

uint64_t Fleet::live_free_bytes() const {
  return saturating_sub(budget.usable_bytes(), live_committed_bytes());
}

std::optional<std::string_view> Fleet::next_to_load() const {
  if (slots.empty()) return std::nullopt;
  const uint64_t free = live_free_bytes();
  for (const Slot& slot : slots) {
    if (!slot.admitted) continue;
    const auto& state = slot.residency.state;
    if (std::holds_alternative<Loading>(state) || std::holds_alternative<Resident>(state) ||
        std::holds_alternative<Stopped>(state)) {
      continue;
    }
    if (slot.declared.needed_bytes() > free) continue;
    // A slot behind an earlier one of the same name can never be observed:
    // naming it would have the host load that name again and again.
    if (slot_named(slot.declared.model) != &slot) continue;
    return slot.declared.model;
  }
  return std::nullopt;
}

Route Fleet::route(std::string_view model, uint64_t now) const {
  return std::visit([](const auto& kind) -> Route { return owned(kind); }, route_view(model, now));
}

RouteView Fleet::route_view(std::string_view model, uint64_t now) const {
  const Slot* slot = slot_named(model);
  if (slot == nullptr) return BasicRouteNotDeclared<std::string_view>{model};
  if (!slot->admitted) return BasicRouteNotAdmitted<std::string_view>{model, slot->short_bytes};
  return admitted_route(*slot, model, now);
}

size_t Fleet::report_bound() const {
  size_t bound = kMaxHeaderLength;
  for (const Slot& slot : slots) {
    // explain_bound() is the fixed length and the detail.
    bound += report_line_bound_but_detail(slot.declared.model) + slot.residency.explain_bound() -
             kMaxFixedExplainLength;
  }
  return bound;
}

std::optional<std::string_view> Fleet::write_report(char* out, size_t room, uint64_t now) const {
  const auto put = [](char*& at, std::string_view piece) {
    std::memcpy(at, piece.data(), piece.size());
    at += piece.size();
  };
  if (room < kMaxHeaderLength) return std::nullopt;
  const char* const limit = out + room;
  // The lines go first, after room for the longest header, so that the
  // header's sums are taken in the same walk over the slots.
  char* const lines = out + kMaxHeaderLength;
  char* end = lines;
  uint64_t committed = 0;  // as live_committed_bytes(): every Resident slot
  size_t admitted = 0;
  for (const Slot& slot : slots) {
    const std::string_view name = slot.declared.model;
    if (const auto* resident = std::get_if<Resident>(&slot.residency.state)) {
      committed = saturating_add(committed, resident->vram_bytes);
    }
    // Room for the line at its longest, but for a failure's detail, which
    // is checked where the status is written.
    if (report_line_bound_but_detail(name) > static_cast<size_t>(limit - end)) return std::nullopt;
    put(end, "  ");
    const size_t width = copy_measuring(end, name);
    end += name.size();
    // The blanks are one fixed copy, cheaper than a memset of a varying
    // length; the room checked above holds them.
    static constexpr auto kBlanks = [] {
      std::array<char, kNameWidth + 4> blanks{};
      blanks.fill(' ');
      return blanks;
    }();
    std::memcpy(end, kBlanks.data(), kBlanks.size());
    end += width < kNameWidth ? kNameWidth - width + 1 : 1;
    if (slot.admitted) {
      ++admitted;
      // Only a failure's explanation can outgrow the room checked above.
      if (std::holds_alternative<Failed>(slot.residency.state) &&
          slot.residency.explain_bound() + 1 > static_cast<size_t>(limit - end)) {
        return std::nullopt;
      }
      end = slot.residency.write_explain(end, now);
    } else {
      put(end, "not admitted \u2014 short by ");
      end = write_gib(end, slot.short_bytes);
      put(end, " GiB");
    }
    *end++ = '\n';
  }
  char header[kMaxHeaderLength];
  char* header_end = header;
  const auto put_count = [&](size_t count) { header_end = write_decimal(header_end, count); };
  header_end = write_gib(header_end, committed);
  put(header_end, " / ");
  header_end = write_gib(header_end, budget.usable_bytes());
  put(header_end, " GiB held  (");
  put_count(slots.size());
  put(header_end, " declared, ");
  put_count(admitted);
  put(header_end, " admitted)\n");
  const auto header_size = static_cast<size_t>(header_end - header);
  std::memcpy(lines - header_size, header, header_size);
  return std::string_view(lines - header_size, static_cast<size_t>(end - (lines - header_size)));
}

std::string Fleet::report(uint64_t now) const {
  std::string buffer(report_bound(), '\0');
  return std::string(*write_report(buffer.data(), buffer.size(), now));
}

Fleet declare(Budget budget, Roster roster) {
  const Plan decision = plan(budget, roster);
  // A name is admitted unless some entry of that name was rejected, and its
  // shortfall is the first such rejection's: one lookup a slot, not a scan of
  // every rejection, so a large roster of misfits still declares in linear time.
  std::unordered_map<std::string_view, uint64_t> first_shortfall;
  first_shortfall.reserve(decision.rejected.size());
  for (const Rejection& rejection : decision.rejected) {
    first_shortfall.try_emplace(rejection.model, rejection.short_bytes());
  }
  Fleet fleet;
  fleet.budget = budget;
  fleet.slots.reserve(roster.size());
  for (Declared& declared : roster) {
    Slot slot;
    if (!first_shortfall.empty()) {
      if (const auto found = first_shortfall.find(declared.model); found != first_shortfall.end()) {
        slot.admitted = false;
        slot.short_bytes = found->second;
      }
    }
    slot.declared = std::move(declared);
    fleet.slots.push_back(std::move(slot));
  }
  return fleet;
}

}  // namespace garnel
