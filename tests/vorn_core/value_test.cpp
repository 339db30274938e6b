#include "vorn_core/value.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "test_components.hpp"
#include "vorn_core/chunk.hpp"
#include "vorn_core/error.hpp"
#include "vorn_core/object.hpp"

namespace {

using vorn_core::Dict;
using vorn_core::List;
using vorn_core::Value;

struct TextCase {
  const char* label;
  Value value;
  std::string str;
  std::string repr;
  friend void PrintTo(const TextCase& c, std::ostream* os) { *os << c.label; }
};

class ValueTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(ValueTextTest, TextAndQuotedForms) {
  const TextCase& c = GetParam();
  EXPECT_EQ(c.value.str(), c.str);
  EXPECT_EQ(c.value.repr(), c.repr);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ValueTextTest,
    ::testing::Values(
        TextCase{"none", Value(), "None", "None"},
        TextCase{"true", Value(true), "True", "True"},
        TextCase{"false", Value(false), "False", "False"},
        TextCase{"int", Value(3), "3", "3"},
        TextCase{"negative_int", Value(-42), "-42", "-42"},
        TextCase{"int64_min", Value(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808",
                 "-9223372036854775808"},
        TextCase{"half", Value(0.5), "0.5", "0.5"},
        TextCase{"integral_float", Value(3.0), "3.0", "3.0"},
        TextCase{"negative_zero", Value(-0.0), "-0.0", "-0.0"},
        TextCase{"small_float", Value(1e-05), "1e-05", "1e-05"},
        TextCase{"smallest_fixed", Value(0.0001), "0.0001", "0.0001"},
        TextCase{"shortest_round_trip", Value(0.1 + 0.2), "0.30000000000000004", "0.30000000000000004"},
        TextCase{"large_fixed", Value(1e15), "1000000000000000.0", "1000000000000000.0"},
        TextCase{"large_float", Value(1e16), "1e+16", "1e+16"},
        TextCase{"large_mantissa", Value(1.5e300), "1.5e+300", "1.5e+300"},
        TextCase{"infinity", Value(std::numeric_limits<double>::infinity()), "inf", "inf"},
        TextCase{"nan", Value(std::nan("")), "nan", "nan"},
        TextCase{"string", Value("docs"), "docs", "'docs'"},
        TextCase{"empty_string", Value(""), "", "''"},
        TextCase{"quote_and_backslash", Value("it's a\\b"), "it's a\\b", R"('it\'s a\\b')"},
        TextCase{"control_chars", Value("a\nb\tc\x01"), "a\nb\tc\x01", R"('a\nb\tc\x01')"},
        TextCase{"utf8_kept", Value("caf\xc3\xa9"), "caf\xc3\xa9", "'caf\xc3\xa9'"},
        TextCase{"list", Value(List{"a", 1, 0.5, Value()}), "['a', 1, 0.5, None]", "['a', 1, 0.5, None]"},
        TextCase{"empty_list", Value(List{}), "[]", "[]"},
        TextCase{"nested", Value(List{List{"x"}, Dict{{"k", List{true}}}}), "[['x'], {'k': [True]}]",
                 "[['x'], {'k': [True]}]"},
        TextCase{"dict", Value(Dict{{"b", 1}, {"a", "it's"}}), R"({'b': 1, 'a': 'it\'s'})",
                 R"({'b': 1, 'a': 'it\'s'})"},
        TextCase{"chunk", Value(vorn_core::make_chunk("c1", "text")), "Chunk(id='c1', content='text')",
                 "Chunk(id='c1', content='text')"},
        TextCase{"chunk_in_list", Value(List{vorn_core::make_chunk("c'2", "", Dict{{"src", "w"}}, 0.5)}),
                 R"([Chunk(id='c\'2', content='', metadata={'src': 'w'}, score=0.5)])",
                 R"([Chunk(id='c\'2', content='', metadata={'src': 'w'}, score=0.5)])"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(DictTest, KeepsInsertionOrderAndReplacesInPlace) {
  Dict d;
  d.set("c", 1);
  d.set("a", 2);
  d["b"] = 3;
  d.set("c", "replaced");
  EXPECT_EQ(d.keys(), (std::vector<std::string>{"c", "a", "b"}));
  EXPECT_EQ(d.at("c"), Value("replaced"));

  // Initializer lists with a repeated key behave like repeated sets.
  Dict init{{"x", 1}, {"y", 2}, {"x", 3}};
  EXPECT_EQ(init.keys(), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(init.at("x"), Value(3));
}

TEST(DictTest, PopEraseAndLookupOfMissingKeys) {
  Dict d{{"a", 1}, {"b", 2}, {"c", 3}};
  EXPECT_EQ(d.pop("b"), Value(2));
  EXPECT_EQ(d.keys(), (std::vector<std::string>{"a", "c"}));
  EXPECT_TRUE(d.pop("b").is_none());
  EXPECT_TRUE(d.erase("a"));
  EXPECT_FALSE(d.erase("a"));
  EXPECT_EQ(d.keys(), (std::vector<std::string>{"c"}));
  d.set("a", 4);  // a re-inserted key goes to the end
  EXPECT_EQ(d.keys(), (std::vector<std::string>{"c", "a"}));

  EXPECT_TRUE(d.get("zzz").is_none());
  EXPECT_FALSE(d.contains("zzz"));
  EXPECT_THROW(d.at("zzz"), vorn_core::KeyError);
  EXPECT_FALSE(d.contains("zzz")) << "a failed lookup must not insert";
}

TEST(DictTest, CopiesAreIndependent) {
  Value original(Dict{{"list", List{1}}});
  Value copy = original;
  copy.as_dict().at("list").as_list().push_back(2);
  EXPECT_EQ(original.as_dict().at("list").as_list().size(), 1u);
}

// A class with a value identity, to check that `==` defers to `equals`.
class Named : public vorn_core::Object {
 public:
  explicit Named(std::string n) : name(std::move(n)) {}
  bool equals(const Object& other) const noexcept override {
    auto* o = dynamic_cast<const Named*>(&other);
    return o && o->name == name;
  }
  std::string name;
};

struct EqualityCase {
  const char* label;
  Value a;
  Value b;
  bool equal;
  friend void PrintTo(const EqualityCase& c, std::ostream* os) { *os << c.label; }
};

class ValueEqualityTest : public ::testing::TestWithParam<EqualityCase> {};

TEST_P(ValueEqualityTest, ComparesLikeTheHost) {
  const EqualityCase& c = GetParam();
  EXPECT_EQ(c.a == c.b, c.equal);
  EXPECT_EQ(c.b == c.a, c.equal) << "equality must be symmetric";
}

Value shared_object() {
  static const Value object(std::make_shared<vorn_core::Object>());
  return object;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ValueEqualityTest,
    ::testing::Values(
        EqualityCase{"int_float", Value(1), Value(1.0), true},
        EqualityCase{"int_float_differ", Value(1), Value(1.5), false},
        EqualityCase{"string_is_not_number", Value("1"), Value(1), false},
        EqualityCase{"none_none", Value(), Value(), true},
        EqualityCase{"none_empty_string", Value(), Value(""), false},
        EqualityCase{"nested_number_cross", Value(List{1, Dict{{"k", 2}}}), Value(List{1.0, Dict{{"k", 2.0}}}), true},
        EqualityCase{"list_order_matters", Value(List{1, 2}), Value(List{2, 1}), false},
        EqualityCase{"dict_order_does_not_matter", Value(Dict{{"a", 1}, {"b", 2}}), Value(Dict{{"b", 2}, {"a", 1}}),
                     true},
        EqualityCase{"dict_values_differ", Value(Dict{{"a", 1}}), Value(Dict{{"a", 2}}), false},
        EqualityCase{"dict_extra_key", Value(Dict{{"a", 1}}), Value(Dict{{"a", 1}, {"b", 1}}), false},
        EqualityCase{"chunk_same_id", Value(vorn_core::make_chunk("c", "x")),
                     Value(vorn_core::make_chunk("c", "other", {}, 0.9)), true},
        EqualityCase{"chunk_other_id", Value(vorn_core::make_chunk("c", "x")), Value(vorn_core::make_chunk("d", "x")),
                     false},
        EqualityCase{"object_by_equals", Value(std::make_shared<Named>("n")), Value(std::make_shared<Named>("n")), true},
        EqualityCase{"object_equals_false", Value(std::make_shared<Named>("n")), Value(std::make_shared<Named>("m")),
                     false},
        EqualityCase{"plain_objects_by_identity", Value(std::make_shared<vorn_core::Object>()),
                     Value(std::make_shared<vorn_core::Object>()), false},
        EqualityCase{"same_object", shared_object(), shared_object(), true},
        EqualityCase{"chunk_vs_other_object", Value(vorn_core::make_chunk("n")), Value(std::make_shared<Named>("n")),
                     false}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(ValueTest, TypedAccessOfTheWrongKindThrowsTypeError) {
  const Value s("text");
  EXPECT_THROW((void)s.as_int(), vorn_core::TypeError);
  EXPECT_THROW((void)s.as_list(), vorn_core::TypeError);
  EXPECT_THROW((void)Value(true).as_int(), vorn_core::TypeError) << "a bool is not an int";
  EXPECT_DOUBLE_EQ(Value(2).as_double(), 2.0);
  EXPECT_TRUE(Value(std::shared_ptr<vorn_core::Chunk>()).is_none()) << "a null object pointer is absent";
}

TEST(ValueTest, TruthinessAndTypeNames) {
  for (const Value& falsy : {Value(), Value(false), Value(0), Value(0.0), Value(""), Value(List{}), Value(Dict{})})
    EXPECT_FALSE(falsy.truthy()) << falsy.repr();
  for (const Value& truthy : {Value(true), Value(-1), Value(0.1), Value(" "), Value(List{Value()})})
    EXPECT_TRUE(truthy.truthy()) << truthy.repr();
  EXPECT_EQ(Value().type_name(), "NoneType");
  EXPECT_EQ(Value("x").type_name(), "str");
  EXPECT_EQ(Value(vorn_core::make_chunk("c")).type_name(), "Chunk");
  EXPECT_EQ(Value(std::make_shared<Named>("n")).type_name(), "Named");
}

TEST(ChunkTest, ChunkListConversionNamesTheBadItem) {
  Value good(List{vorn_core::make_chunk("a"), vorn_core::make_chunk("b")});
  auto chunks = vorn_core::to_chunk_list(good);
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[1]->id, "b");
  EXPECT_EQ(vorn_core::to_value(chunks), good);

  try {
    vorn_core::to_chunk_list(Value(List{vorn_core::make_chunk("a"), "b"}));
    FAIL() << "expected TypeError";
  } catch (const vorn_core::TypeError& e) {
    EXPECT_NE(std::string(e.what()).find("item 1 is str"), std::string::npos) << e.what();
  }
  EXPECT_THROW(vorn_core::to_chunk_list(Value("a")), vorn_core::TypeError);
}

}  // namespace
