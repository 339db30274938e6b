// Value <-> JSON conversion, used for stored chunk metadata and --json output.
#include <gtest/gtest.h>

#include <cmath>

#include "vorn_core/chunk.hpp"
#include "vorn_core/json.hpp"
#include "vorn_core/record.hpp"

namespace {

using nlohmann::json;
using vorn_core::Dict;
using vorn_core::List;
using vorn_core::Value;

TEST(JsonConversion, PlainValuesRoundTrip) {
  Dict nested;
  nested.set("list", List{Value(1), Value(2.5), Value("x"), Value(), Value(false)});
  nested.set("dict", Dict{{"k", "v"}});
  const std::vector<Value> values = {Value(), Value(true), Value(-7), Value(0.125), Value("text \xC3\xA9"),
                                     Value(List{}), Value(Dict{}), Value(nested)};
  for (const Value& v : values) {
    SCOPED_TRACE(v.repr());
    EXPECT_EQ(vorn_core::from_json(vorn_core::to_json(v)), v);
    EXPECT_EQ(vorn_core::from_json(json::parse(vorn_core::to_json(v).dump())), v);
  }
}

TEST(JsonConversion, EdgeNumbersAndObjects) {
  EXPECT_TRUE(vorn_core::to_json(Value(std::nan(""))).is_null());
  EXPECT_EQ(vorn_core::from_json(json(18446744073709551615ULL)), Value(18446744073709551615.0));
  EXPECT_EQ(vorn_core::from_json(json(42U)), Value(42));

  auto chunk = vorn_core::make_chunk("c1", "text", Dict{{"source", "a.md"}}, 0.5);
  EXPECT_EQ(vorn_core::to_json(Value(chunk)),
            json::parse(R"({"id":"c1","content":"text","metadata":{"source":"a.md"},"score":0.5})"));
  EXPECT_TRUE(vorn_core::to_json(Value(vorn_core::make_chunk("c2")))["score"].is_null());

  auto schema = vorn_core::Schema::create("Point", {vorn_core::Field::required("x", vorn_core::TypeSpec::integer())});
  auto record = schema->make(Dict{{"x", 3}});
  EXPECT_EQ(vorn_core::to_json(Value(record)), json::parse(R"({"x":3})"));

  struct Opaque : vorn_core::Object {
    std::string repr() const override { return "<opaque>"; }
  };
  EXPECT_EQ(vorn_core::to_json(Value(std::make_shared<Opaque>())), json("<opaque>"));
}

}  // namespace
