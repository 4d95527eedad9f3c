// The route text a host receives, written by the JSON library from the core's
// own keys plus the three flags: what the direct writer must match byte for
// byte, and what the fleet's route texts are checked against.

#ifndef GARNEL_TESTS_CORE_ROUTE_TEXT_H_
#define GARNEL_TESTS_CORE_ROUTE_TEXT_H_

#include <string>

#include <nlohmann/json.hpp>

#include "fleet.h"

namespace garnel {

inline std::string route_text_by_library(const Route& route) {
  JsonValue object = route_json(route);
  const RouteFlags flags = route_flags(route);
  object["ready"] = flags.ready;
  object["try_elsewhere"] = flags.try_elsewhere;
  object["operator_fault"] = flags.operator_fault;
  return object.dump();
}

}  // namespace garnel

#endif  // GARNEL_TESTS_CORE_ROUTE_TEXT_H_
