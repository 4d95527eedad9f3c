#include "budget.h"

#include <cmath>
#include <utility>

namespace garnel {

Budget Budget::with_reserve_pct(uint64_t total_bytes, uint8_t reserve_pct) {
  const uint64_t pct = reserve_pct < 100 ? reserve_pct : 100;
  // Dividing first keeps the product in range for every total.
  uint64_t reserve = total_bytes / 100 * pct;
  if (reserve <= kReserveFloorBytes) reserve = kReserveFloorBytes;
  if (total_bytes < reserve) reserve = total_bytes;
  return Budget{total_bytes, reserve};
}

std::optional<uint64_t> whole_byte_count(const MemberValue& value) {
  switch (value.kind) {
    case MemberValue::Kind::kUnsigned:
      return value.unsigned_value;
    case MemberValue::Kind::kSigned:
      // The parser holds "-0" as a signed zero; by value it is still zero.
      if (value.signed_value >= 0) return static_cast<uint64_t>(value.signed_value);
      return std::nullopt;
    case MemberValue::Kind::kFloat: {
      const double x = value.float_value;
      if (!std::isfinite(x) || x < 0 || std::trunc(x) != x) return std::nullopt;
      // 2^64 is exactly representable; anything at or above it saturates.
      if (x >= 18446744073709551616.0) return kMaxBytes;
      return static_cast<uint64_t>(x);
    }
    default:
      return std::nullopt;
  }
}

void DeclaredReader::string(std::string& text) {
  // Only a name's text is kept; it is taken without a copy.
  if (in_entry_object() && pending_ == Field::kModel) name_.swap(text);
  scalar(MemberValue::of(MemberValue::Kind::kString));
}

void DeclaredReader::key(std::string_view key) {
  if (!in_entry_object()) return;
  pending_ = Field::kOther;
  if (key == "model") {
    pending_ = Field::kModel;
  } else if (key == "weightsBytes") {
    pending_ = Field::kWeights;
  } else if (key == "weights_bytes") {
    pending_ = Field::kWeightsSnake;
  } else if (key == "kvBytes") {
    pending_ = Field::kKv;
  } else if (key == "kv_bytes") {
    pending_ = Field::kKvSnake;
  }
}

void DeclaredReader::keep(const MemberValue& value) {
  // Assigning over an earlier value of the same key: the last one counts.
  switch (pending_) {
    case Field::kModel:
      model_ = value;
      break;
    case Field::kWeights:
      weights_ = value;
      break;
    case Field::kWeightsSnake:
      weights_snake_ = value;
      break;
    case Field::kKv:
      kv_ = value;
      break;
    case Field::kKvSnake:
      kv_snake_ = value;
      break;
    case Field::kOther:
      break;
  }
  pending_ = Field::kOther;
}

void DeclaredReader::scalar(const MemberValue& value) {
  if (depth_ == 1 && top_is_array_) {
    close_entry(/*is_object=*/false);
  } else if (in_entry_object()) {
    keep(value);
  }
}

void DeclaredReader::start(MemberValue::Kind kind) {
  if (depth_ == 0) {
    top_is_array_ = kind == MemberValue::Kind::kArray;
  } else if (depth_ == 1 && top_is_array_) {
    entry_is_object_ = kind == MemberValue::Kind::kObject;
    model_ = weights_ = weights_snake_ = kv_ = kv_snake_ = MemberValue{};
    pending_ = Field::kOther;
  } else if (in_entry_object()) {
    keep(MemberValue::of(kind));
  }
  ++depth_;
}

void DeclaredReader::end() {
  --depth_;
  if (depth_ == 1 && top_is_array_) close_entry(entry_is_object_);
}

void DeclaredReader::close_entry(bool is_object) {
  const size_t index = index_++;
  const auto refuse = [&](std::string_view message) {
    std::string text = "entry " + std::to_string(index) + ": ";
    text += message;
    messages_.push_back(std::move(text));
  };
  if (!is_object || model_.kind != MemberValue::Kind::kString) {
    return refuse(R"(missing "model")");
  }
  if (name_.empty()) return refuse(R"("model" is empty)");

  const MemberValue& weights =
      weights_.kind != MemberValue::Kind::kAbsent ? weights_ : weights_snake_;
  const std::optional<uint64_t> weights_bytes = whole_byte_count(weights);
  if (!weights_bytes)
    return refuse(name_ + R"(: "weightsBytes" missing or not a whole byte count)");

  uint64_t kv_bytes = 0;
  const MemberValue& kv = kv_.kind != MemberValue::Kind::kAbsent ? kv_ : kv_snake_;
  if (kv.kind != MemberValue::Kind::kAbsent && kv.kind != MemberValue::Kind::kNull) {
    const std::optional<uint64_t> count = whole_byte_count(kv);
    if (!count) return refuse(name_ + R"(: "kvBytes" is not a whole byte count)");
    kv_bytes = *count;
  }
  // Once an entry has failed the roster is lost anyway; stop copying.
  if (messages_.empty()) roster_.push_back(Declared{std::move(name_), *weights_bytes, kv_bytes});
}

std::variant<Roster, std::vector<std::string>> DeclaredReader::finish() && {
  if (!top_is_array_) return std::vector<std::string>{"expected an array of declared models"};
  if (!messages_.empty()) return std::move(messages_);
  return std::move(roster_);
}

Plan plan(const Budget& budget, const Roster& roster) {
  Plan result;
  result.usable_bytes = budget.usable_bytes();
  for (const Declared& declared : roster) {
    const uint64_t need = declared.needed_bytes();
    const uint64_t available = saturating_sub(result.usable_bytes, result.committed_bytes);
    if (need <= available) {
      result.admitted.push_back(declared.model);
      result.committed_bytes += need;  // need <= available, so no overflow
    } else {
      result.rejected.push_back(Rejection{declared.model, need, available});
    }
  }
  return result;
}

void append_gib(std::string& out, uint64_t bytes) {
  char buffer[kMaxGibLength];
  out.append(buffer, write_gib(buffer, bytes));
}

std::string format_gib(uint64_t bytes) {
  std::string out;
  append_gib(out, bytes);
  return out;
}

std::string Plan::explain() const {
  std::string text = std::to_string(admitted.size()) + " of " +
                     std::to_string(admitted.size() + rejected.size()) + " admitted, ";
  append_gib(text, committed_bytes);
  text += " GiB committed of ";
  append_gib(text, usable_bytes);
  text += " GiB usable";
  for (const Rejection& rejection : rejected) {
    text += "\n  REJECTED ";
    text += rejection.model;
    text += " \u2014 needs ";
    append_gib(text, rejection.needed_bytes);
    text += " GiB, ";
    append_gib(text, rejection.free_bytes);
    text += " GiB free, short by ";
    append_gib(text, rejection.short_bytes());
    text += " GiB";
  }
  return text;
}

}  // namespace garnel
