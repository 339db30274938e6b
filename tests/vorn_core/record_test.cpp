#include "vorn_core/record.hpp"

#include <gtest/gtest.h>

#include <array>
#include <ostream>
#include <string>
#include <vector>

#include "test_components.hpp"
#include "vorn_core/chunk.hpp"
#include "vorn_core/logger.hpp"
#include "vorn_core/string_enum.hpp"

namespace {

using vorn_core::Dict;
using vorn_core::Field;
using vorn_core::List;
using vorn_core::Record;
using vorn_core::Schema;
using vorn_core::SchemaPtr;
using vorn_core::TypeSpec;
using vorn_core::Value;

SchemaPtr base_schema() {
  static const SchemaPtr s = Schema::create(
      "BaseState", {Field::required("query", TypeSpec::string(), "The question"),
                    Field::with_default("items", TypeSpec::list_of(TypeSpec::any()), List{}),
                    Field::with_default("limit", TypeSpec::integer(), 5)});
  return s;
}

SchemaPtr derived_schema() {
  static const SchemaPtr s = Schema::create(
      "DerivedState", {Field::with_default("extra", TypeSpec::boolean(), false),
                       Field::with_default("limit", TypeSpec::integer(), 10, "Replaced")},
      base_schema());
  return s;
}

std::vector<std::string> field_names(const Schema& s) {
  std::vector<std::string> out;
  for (const auto& f : s.fields()) out.push_back(f.name);
  return out;
}

TEST(RecordTest, DefaultsAreFreshPerInstance) {
  auto a = base_schema()->make({{"query", "q"}});
  auto b = base_schema()->make({{"query", "q"}});
  EXPECT_EQ(a->get("limit"), Value(5));
  a->set("items", List{1});
  EXPECT_TRUE(b->get("items").as_list().empty());
  EXPECT_TRUE(base_schema()->defaults().at("items").as_list().empty());
  EXPECT_FALSE(base_schema()->defaults().contains("query")) << "required fields have no default";
}

TEST(RecordTest, RecordDefaultIsANewRecordPerInstance) {
  auto inner = Schema::create("Inner", {Field::with_default("n", TypeSpec::integer(), 0)});
  auto outer = Schema::create("Outer", {Field::with_default("inner", TypeSpec::record(inner), inner->make({}))});
  auto a = outer->make({});
  auto b = outer->make({});
  a->get("inner").as<Record>()->set("n", 1);
  EXPECT_EQ(b->get("inner").as<Record>()->get("n"), Value(0));
}

TEST(RecordTest, InheritanceKeepsFieldOrderAndReplacesInPlace) {
  const auto& d = *derived_schema();
  EXPECT_EQ(field_names(d), (std::vector<std::string>{"query", "items", "limit", "extra"}));
  EXPECT_EQ(d.field("limit")->description, "Replaced");
  EXPECT_EQ(d.field("query")->description, "The question");
  EXPECT_EQ(d.make({{"query", "q"}})->get("limit"), Value(10));
  EXPECT_TRUE(d.is_same_or_derived_from(*base_schema()));
  EXPECT_FALSE(base_schema()->is_same_or_derived_from(d));
  EXPECT_EQ(field_names(*base_schema()), (std::vector<std::string>{"query", "items", "limit"}))
      << "the parent is unchanged";
}

TEST(RecordTest, ValidatePassesRecordsUnchangedAndMappingsFieldByField) {
  auto record = base_schema()->make({{"query", "q"}});
  Value same = base_schema()->validate(Value(record));
  EXPECT_EQ(same.as_object().get(), record.get()) << "the very same object";

  auto derived = derived_schema()->make({{"query", "q"}});
  EXPECT_EQ(base_schema()->validate(Value(derived)).as_object().get(), derived.get());

  Value from_map = base_schema()->validate(Dict{{"limit", 3.0}, {"unknown", 1}, {"query", "x"}});
  auto* r = from_map.get_if<Record>();
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->values().keys(), (std::vector<std::string>{"query", "items", "limit"}));
  EXPECT_TRUE(r->get("limit").is_int()) << "an integral float becomes an int";
  EXPECT_THROW(r->get("unknown"), vorn_core::AttributeError);
}

struct RejectCase {
  const char* label;
  Value payload;
  friend void PrintTo(const RejectCase& c, std::ostream* os) { *os << c.label; }
};

class RecordRejectTest : public ::testing::TestWithParam<RejectCase> {};

TEST_P(RecordRejectTest, IsAValidationErrorAndAValueError) {
  EXPECT_THROW(base_schema()->validate(GetParam().payload), vorn_core::ValidationError);
  EXPECT_THROW(base_schema()->validate(GetParam().payload), vorn_core::ValueError);
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, RecordRejectTest,
    ::testing::Values(RejectCase{"string", Value("q")}, RejectCase{"none", Value()},
                      RejectCase{"list", Value(List{Dict{{"query", "q"}}})},
                      RejectCase{"other_record", Value(Schema::create("Other", {})->make({}))},
                      RejectCase{"missing_required", Value(Dict{{"limit", 1}})},
                      RejectCase{"wrong_field_type", Value(Dict{{"query", 3}})},
                      RejectCase{"fractional_int", Value(Dict{{"query", "q"}, {"limit", 2.5}})},
                      RejectCase{"list_field_not_list", Value(Dict{{"query", "q"}, {"items", "abc"}})}),
    [](const auto& info) { return std::string(info.param.label); });

struct ConversionCase {
  const char* label;
  TypeSpec type;
  Value input;
  Value expected;  // absent with `rejects`: the input must fail
  bool rejects = false;
  friend void PrintTo(const ConversionCase& c, std::ostream* os) { *os << c.label; }
};

class TypeSpecConversionTest : public ::testing::TestWithParam<ConversionCase> {};

TEST_P(TypeSpecConversionTest, ConvertsOnlyLosslessly) {
  const auto& c = GetParam();
  if (c.rejects) {
    EXPECT_THROW(c.type.validate(c.input, "f"), vorn_core::ValidationError);
    return;
  }
  Value out = c.type.validate(c.input, "f");
  EXPECT_EQ(out, c.expected);
  EXPECT_EQ(out.kind(), c.expected.kind());
}

INSTANTIATE_TEST_SUITE_P(
    Lax, TypeSpecConversionTest,
    ::testing::Values(
        ConversionCase{"bool_from_true_text", TypeSpec::boolean(), "true", true},
        ConversionCase{"bool_from_False_text", TypeSpec::boolean(), "False", false},
        ConversionCase{"bool_from_one", TypeSpec::boolean(), 1, true},
        ConversionCase{"bool_from_zero", TypeSpec::boolean(), 0, false},
        ConversionCase{"bool_from_two", TypeSpec::boolean(), 2, {}, true},
        ConversionCase{"bool_from_other_text", TypeSpec::boolean(), "maybe", {}, true},
        ConversionCase{"int_from_integral_float", TypeSpec::integer(), 4.0, 4},
        ConversionCase{"int_from_fraction", TypeSpec::integer(), 4.5, {}, true},
        ConversionCase{"int_from_text", TypeSpec::integer(), "4", {}, true},
        ConversionCase{"float_from_int", TypeSpec::floating(), 2, 2.0},
        ConversionCase{"str_from_number", TypeSpec::string(), 2, {}, true},
        ConversionCase{"optional_none", TypeSpec::optional(TypeSpec::integer()), Value(), Value()},
        ConversionCase{"optional_value", TypeSpec::optional(TypeSpec::integer()), 3.0, 3},
        ConversionCase{"list_elements", TypeSpec::list_of(TypeSpec::integer()), List{1, 2.0}, List{1, 2}},
        ConversionCase{"list_bad_element", TypeSpec::list_of(TypeSpec::integer()), List{1, "x"}, {}, true},
        ConversionCase{"dict_values", TypeSpec::dict_of(TypeSpec::floating()), Dict{{"a", 1}}, Dict{{"a", 1.0}}},
        ConversionCase{"chunk_from_mapping", TypeSpec::chunk(), Dict{{"id", "c1"}, {"content", "t"}},
                       vorn_core::make_chunk("c1", "t")},
        ConversionCase{"chunk_needs_string_id", TypeSpec::chunk(), Dict{{"id", 1}}, {}, true},
        ConversionCase{"chunk_bad_content", TypeSpec::chunk(), Dict{{"id", "c"}, {"content", 1}}, {}, true}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(TypeSpecTest, ChunkFromMappingKeepsAllFieldsAndErrorsNameThePath) {
  Value v = TypeSpec::chunk().validate(
      Dict{{"id", "c1"}, {"content", "t"}, {"metadata", Dict{{"k", "v"}}}, {"score", 1}}, "chunks.0");
  auto* c = vorn_core::chunk_of(v);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->metadata, (Dict{{"k", "v"}}));
  EXPECT_EQ(c->score, 1.0);

  auto schema = Schema::create("S", {Field::required("chunks", TypeSpec::list_of(TypeSpec::chunk()))});
  try {
    schema->make({{"chunks", List{vorn_core::make_chunk("a"), "b"}}});
    FAIL() << "expected ValidationError";
  } catch (const vorn_core::ValidationError& e) {
    EXPECT_NE(std::string(e.what()).find("`chunks.1`"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("expected Chunk, got str"), std::string::npos) << e.what();
  }
}

TEST(RecordTest, SetValidatesAndUnknownFieldsAreAttributeErrors) {
  auto r = base_schema()->make({{"query", "q"}});
  r->set("limit", 7.0);
  EXPECT_TRUE(r->get("limit").is_int());
  EXPECT_THROW(r->set("limit", "many"), vorn_core::ValidationError);
  EXPECT_EQ(r->get("limit"), Value(7)) << "a rejected set leaves the value";
  EXPECT_THROW(r->set("nope", 1), vorn_core::AttributeError);
  EXPECT_EQ(r->repr(), "BaseState(query='q', items=[], limit=7)");
}

// ---- string enumerations ----------------------------------------------------

enum class Policy { kBestEffort, kEmpty };
constexpr vorn_core::StringEnum<Policy, 2> kPolicy{
    "Policy", {{{Policy::kBestEffort, "best_effort"}, {Policy::kEmpty, "empty"}}}};

TEST(StringEnumTest, LooksUpByValueOnly) {
  EXPECT_EQ(kPolicy.from_value("best_effort"), Policy::kBestEffort);
  EXPECT_EQ(kPolicy.value(Policy::kEmpty), "empty");
  for (const Value& bad : {Value("kBestEffort"), Value("BEST_EFFORT"), Value("Empty"), Value(), Value(0)}) {
    EXPECT_THROW(kPolicy.from_value(bad), vorn_core::ValueError) << bad.repr();
  }
  try {
    kPolicy.from_value("x");
  } catch (const vorn_core::ValueError& e) {
    EXPECT_STREQ(e.what(), "'x' is not a valid Policy");
  }
}

// ---- logging ------------------------------------------------------------------

TEST(LoggerTest, CaptureSeesWarningsOfANamedLogger) {
  vorn_core::LoggerManager manager;
  vorn_core::Logger& logger = manager.get_logger("vorn_test.capture");
  EXPECT_EQ(&logger, &manager.get_logger("vorn_test.capture")) << "one logger per name";
  std::vector<std::string> seen;
  {
    vorn_core::LogCapture capture;
    logger.warning("first");
    manager.get_logger("vorn_test.other").warning("elsewhere");
    logger.debug("below the level");
    logger.warning("second");
    seen = capture.messages("vorn_test.capture", vorn_core::LogLevel::kWarning);
    EXPECT_TRUE(capture.messages("vorn_test.capture", vorn_core::LogLevel::kDebug).empty());
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"first", "second"}));
  vorn_core::LogCapture later;
  EXPECT_TRUE(later.records().empty()) << "a capture sees only what is logged while it lives";
}

}  // namespace

// The values typed readers take: a mapping, a record of the schema or a
// derived one, each checked once; a hand-made record holding a wrong kind,
// or anything that is no record or mapping, is refused.
TEST(RecordTest, ValidatedValuesAcceptWhatValidateAcceptsAndCatchHandMadeRecords) {
  const SchemaPtr schema = base_schema();
  Dict from_map = schema->validated_values(Dict{{"query", "q"}, {"unknown", 1}});
  EXPECT_EQ(from_map.keys(), (std::vector<std::string>{"query", "items", "limit"}));
  EXPECT_EQ(from_map.at("limit"), Value(5));

  Dict from_derived = schema->validated_values(Value(derived_schema()->make({{"query", "q"}})));
  EXPECT_EQ(from_derived.at("limit"), Value(10));
  EXPECT_FALSE(from_derived.contains("extra")) << "only this schema's fields";

  auto hand_made = std::make_shared<Record>(schema, Dict{{"query", 42}});
  EXPECT_THROW(schema->validated_values(Value(hand_made)), vorn_core::ValidationError);
  auto missing_default = std::make_shared<Record>(schema, Dict{{"query", "q"}});
  EXPECT_EQ(schema->validated_values(Value(missing_default)).at("limit"), Value(5));

  for (const Value& refused : {Value(), Value("text"), Value(List{})}) {
    EXPECT_THROW(schema->validated_values(refused), vorn_core::ValidationError) << refused.repr();
  }
  EXPECT_THROW(schema->validated_values(Dict{}), vorn_core::ValidationError) << "query is required";
}
