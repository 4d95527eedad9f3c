// The live record of one card: a slot per declared model, and the answers
// built from the slots.
//
// declare() makes the admission decision once and keeps one Slot per roster
// entry, in roster order. Afterwards only two operations change the fleet:
// observe() moves a model's Residency and set_endpoint() records where it is
// served. Everything else reads: the bytes resident models hold, the bytes
// left, the next model to load, where a request should go (route) and the
// card's state as text (report).
//
// Rosters are the few models of one card, so every lookup by name is a linear
// scan in roster order by byte equality, the first equal name wins, and every
// figure is recomputed from the slots on each call: nothing can go stale.

#ifndef GARNEL_CORE_FLEET_H_
#define GARNEL_CORE_FLEET_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "budget.h"
#include "residency.h"

namespace garnel {

// One declared model on the card.
struct Slot {
  Declared declared;  // the roster entry as it was read
  // False when the plan rejected any roster entry of this name; fixed for
  // the life of the fleet, so freed bytes never re-admit a model.
  bool admitted = true;
  // What the first rejection of this name lacked; 0 for an admitted model.
  uint64_t short_bytes = 0;
  // Where the host serves the model; absent until set_endpoint. An empty
  // endpoint is still present.
  std::optional<std::string> endpoint;
  Residency residency;  // starts NeverProbed

  bool operator==(const Slot&) const = default;
};

// The kinds of a route. Each is a template over its texts: a Route owns
// copies of them (std::string); a RouteView only looks at the fleet's slot
// and at the name asked for (std::string_view), for a writer that turns the
// route into text at once.

// The request can go to the model's endpoint now.
template <class Text>
struct BasicRouteReady {
  Text model;
  Text endpoint;
  bool operator==(const BasicRouteReady&) const = default;
};

// The model is loading and has been for for_ms milliseconds.
template <class Text>
struct BasicRouteWarming {
  Text model;
  uint64_t for_ms = 0;
  bool operator==(const BasicRouteWarming&) const = default;
};

// The model was up and is gone.
template <class Text>
struct BasicRouteLost {
  Text model;
  LostReason reason = LostReason::kUnhealthy;
  bool operator_fault = true;  // lost_reason_is_operator_fault(reason)
  bool operator==(const BasicRouteLost&) const = default;
};

// The model's last load failed; reason is the failure text.
template <class Text>
struct BasicRouteFailed {
  Text model;
  Text reason;
  bool operator==(const BasicRouteFailed&) const = default;
};

// The model is declared but did not fit the card.
template <class Text>
struct BasicRouteNotAdmitted {
  Text model;
  uint64_t short_bytes = 0;
  bool operator==(const BasicRouteNotAdmitted&) const = default;
};

// No slot holds this name.
template <class Text>
struct BasicRouteNotDeclared {
  Text model;
  bool operator==(const BasicRouteNotDeclared&) const = default;
};

// The model is admitted but its state gives no destination: never probed,
// stopped, or resident without an endpoint.
template <class Text>
struct BasicRouteUnknown {
  Text model;
  bool operator==(const BasicRouteUnknown&) const = default;
};

template <class Text>
using BasicRoute =
    std::variant<BasicRouteReady<Text>, BasicRouteWarming<Text>, BasicRouteLost<Text>,
                 BasicRouteFailed<Text>, BasicRouteNotAdmitted<Text>, BasicRouteNotDeclared<Text>,
                 BasicRouteUnknown<Text>>;

using RouteReady = BasicRouteReady<std::string>;
using RouteWarming = BasicRouteWarming<std::string>;
using RouteLost = BasicRouteLost<std::string>;
using RouteFailed = BasicRouteFailed<std::string>;
using RouteNotAdmitted = BasicRouteNotAdmitted<std::string>;
using RouteNotDeclared = BasicRouteNotDeclared<std::string>;
using RouteUnknown = BasicRouteUnknown<std::string>;

// Where a request for one model should go right now, or why not yet. Every
// kind owns a copy of the name that was asked for.
using Route = BasicRoute<std::string>;

// The same route with its texts seen where they are: in the slot and in the
// name asked for. Valid while both are, and the slot unchanged.
using RouteView = BasicRoute<std::string_view>;

// What a caller does with a route, derived from its kind alone.
struct RouteFlags {
  bool ready = false;           // send the request to the endpoint
  bool try_elsewhere = false;   // this card will not serve it soon
  bool operator_fault = false;  // someone should look at the model
  bool operator==(const RouteFlags&) const = default;
};

// The tag of a route kind, the value of "route" in its JSON object.
template <class Kind>
inline constexpr std::string_view kRouteTag = {};
template <class Text>
inline constexpr std::string_view kRouteTag<BasicRouteReady<Text>> = "ready";
template <class Text>
inline constexpr std::string_view kRouteTag<BasicRouteWarming<Text>> = "warming";
template <class Text>
inline constexpr std::string_view kRouteTag<BasicRouteLost<Text>> = "lost";
template <class Text>
inline constexpr std::string_view kRouteTag<BasicRouteFailed<Text>> = "failed";
template <class Text>
inline constexpr std::string_view kRouteTag<BasicRouteNotAdmitted<Text>> = "not_admitted";
template <class Text>
inline constexpr std::string_view kRouteTag<BasicRouteNotDeclared<Text>> = "not_declared";
template <class Text>
inline constexpr std::string_view kRouteTag<BasicRouteUnknown<Text>> = "unknown";

// The route's tag: "ready", "warming", "lost", "failed", "not_admitted",
// "not_declared" or "unknown".
std::string_view route_tag(const Route& route);

// The route's own JSON object: "route" (the kind's tag), "model",
// and the kind's fields ("endpoint", "for_ms", "reason", "short_bytes"; for
// lost also "operator_fault"). The derived flags are not in it.
JsonValue route_json(const Route& route);

// ready only for ready; try_elsewhere for every kind but ready and warming;
// operator_fault for failed, and for lost as the route carries it.
RouteFlags route_flags(const Route& route);

// The same for a route whose kind is known where it is written, so that a
// writer already inside its visit needs no second one.
template <class Text>
constexpr RouteFlags route_flags(const BasicRouteReady<Text>&) {
  return {true, false, false};
}
template <class Text>
constexpr RouteFlags route_flags(const BasicRouteWarming<Text>&) {
  return {false, false, false};
}
template <class Text>
constexpr RouteFlags route_flags(const BasicRouteLost<Text>& route) {
  return {false, true, route.operator_fault};
}
template <class Text>
constexpr RouteFlags route_flags(const BasicRouteFailed<Text>&) {
  return {false, true, true};
}
template <class Text>
constexpr RouteFlags route_flags(const BasicRouteNotAdmitted<Text>&) {
  return {false, true, false};
}
template <class Text>
constexpr RouteFlags route_flags(const BasicRouteNotDeclared<Text>&) {
  return {false, true, false};
}
template <class Text>
constexpr RouteFlags route_flags(const BasicRouteUnknown<Text>&) {
  return {false, true, false};
}

// One card: its budget and a slot per roster entry, in roster order. The
// slots never change in number or order after declare().
struct Fleet {
  std::vector<Slot> slots;
  Budget budget;

  // The first slot named `model` (byte equality), or nullptr.
  const Slot* slot_named(std::string_view model) const;

  // Applies the observation to the first slot named `model`, admitted or
  // not. A name that no slot holds changes nothing.
  void observe(std::string_view model, const Observation& observation, uint64_t now);

  // Stores a copy of `endpoint` in the first slot named `model`, replacing
  // any earlier one. A name that no slot holds changes nothing.
  void set_endpoint(std::string_view model, std::string_view endpoint);

  // The vram_bytes of every Resident slot, admitted or not, summed with
  // saturation so that no figure built on it can come from a wrapped sum.
  uint64_t live_committed_bytes() const;

  // The budget's usable bytes less the committed bytes, floored at 0.
  uint64_t live_free_bytes() const;

  // The first admitted slot, in roster order, that is never probed, lost or
  // failed and whose needed bytes fit the free bytes (computed once, before
  // the scan). A loading model holds nothing yet, so it does not count
  // against the free bytes. A slot that repeats an earlier slot's name is
  // passed over, since no call by name can reach it. The view is of the
  // slot's own name and lives as long as the fleet's slots do.
  std::optional<std::string_view> next_to_load() const;

  // Where a request for `model` should go at `now`. An unknown name is no
  // failure: it routes not_declared.
  Route route(std::string_view model, uint64_t now) const;

  // The same route, its texts viewed in the slot and in `model` rather
  // than copied: for a caller that writes it out at once.
  RouteView route_view(std::string_view model, uint64_t now) const;

  // A header line with the held and usable GiB and the counts, then one
  // line per slot: two spaces, the name left-aligned in 28 code points, a
  // space and the slot's status. Every line ends with a line feed.
  std::string report(uint64_t now) const;

  // The most bytes report() can write for these slots.
  size_t report_bound() const;

  // Writes report(now) within the `room` bytes at out and returns it; the
  // text need not start at out. Returns nothing, having written part of the
  // room, when the report might not fit; report_bound() bytes always do. A
  // caller can so try a buffer it has, and walk the slots to size one only
  // when that is too small.
  std::optional<std::string_view> write_report(char* out, size_t room, uint64_t now) const;

  bool operator==(const Fleet&) const = default;
};

// Plans the roster on the budget and keeps one slot per entry. Admission is
// decided by name: any rejection of a name marks every slot of that name,
// each with the shortfall of the name's first rejection.
Fleet declare(Budget budget, Roster roster);

}  // namespace garnel

#endif  // GARNEL_CORE_FLEET_H_
