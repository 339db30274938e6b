// Chunk-list fusion: the built-in functions, the name table, selector
// resolution and the `fuse` step.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <unordered_set>

#include "rag_doubles.hpp"
#include "vorn_core/syncify.hpp"
#include "vorn_pipeline/pipeline.hpp"
#include "vorn_rag/blocks/retrieval/steps.hpp"
#include "vorn_rag/blocks/retrieval/utils.hpp"
#include "vorn_rag/exceptions.hpp"

namespace {

using namespace rag_test;
using vorn_rag::RAGTypeError;
using vorn_rag::RAGValueError;
using namespace vorn_rag::blocks::retrieval::utils;
using vorn_rag::blocks::retrieval::fuse;
using Lists = std::vector<ChunkList>;

ChunkPtr chunk(const char* id) { return vorn_core::make_chunk(id); }

// Runs a one-step pipeline over `state` and returns the final state.
Dict run_step(const vorn_pipeline::StepPtr& step, Dict state) {
  auto pipeline = std::make_shared<vorn_pipeline::Pipeline>(std::vector<vorn_pipeline::StepPtr>{step});
  return vorn_core::run_sync(pipeline->invoke(Value(std::move(state))));
}

// ---- rrf_fusion ---------------------------------------------------------------

TEST(FusionRrf, OrdersByHandComputedScores) {
  // k = 60, ranks from 1: a = 1/61 + 1/62, c = 1/63 + 1/61, d = 1/61, b = 1/62.
  auto a = chunk("a"), b = chunk("b"), c = chunk("c"), d = chunk("d");
  ChunkList fused = rrf_fusion({{a, b, c}, {c, a}, {d}});
  EXPECT_EQ(ids_of(fused), (std::vector<std::string>{"a", "c", "d", "b"}));
  EXPECT_EQ(fused[0], a);  // the very objects of the input
}

TEST(FusionRrf, RanksCountFromOneWithRankConstantSixty) {
  // y sits at rank 61 in two lists, x at rank 1 in one. With k = 60:
  // y = 2/121 beats x = 1/61. Ranks counted from 0, or k = 59, tie them
  // (2/120 = 1/60), and the first appearance (x) would lead.
  ChunkList l1, l2;
  auto x = chunk("x"), y = chunk("y");
  l1.push_back(x);
  for (int i = 1; i < 60; ++i) l1.push_back(vorn_core::make_chunk("p" + std::to_string(i)));
  for (int i = 0; i < 60; ++i) l2.push_back(vorn_core::make_chunk("q" + std::to_string(i)));
  l1.push_back(y);
  l2.push_back(y);
  ASSERT_EQ(l1.size(), 61u);
  EXPECT_EQ(rrf_fusion({l1, l2}).front(), y);
  EXPECT_EQ(rrf_fusion({l1, l2}, 59).front(), x);
}

TEST(FusionRrf, ChunkRepeatedInOneListCountsOnceAtItsBestRank) {
  // Counted once, y = 1/62 trails z = 1/61; accumulated (1/62 + 1/63) it
  // would lead.
  auto w = chunk("w"), y = chunk("y"), z = chunk("z");
  EXPECT_EQ(ids_of(rrf_fusion({{w, y, y}, {z}})), (std::vector<std::string>{"w", "z", "y"}));
}

TEST(FusionRrf, EmptyInputs) {
  EXPECT_TRUE(rrf_fusion({}).empty());
  EXPECT_TRUE(rrf_fusion({{}}).empty());
  EXPECT_TRUE(rrf_fusion({{}, {}}).empty());
}

// ---- concat_fusion ----------------------------------------------------------------

TEST(FusionConcat, KeepsFirstAppearanceOfEachIdInListOrder) {
  auto a = vorn_core::make_chunk("1", "a"), b = vorn_core::make_chunk("2", "b");
  auto c = vorn_core::make_chunk("2", "c"), d = vorn_core::make_chunk("3", "d");
  ChunkList fused = concat_fusion({{a, b}, {c, d}});
  ASSERT_EQ(fused.size(), 3u);
  EXPECT_EQ(fused[0], a);
  EXPECT_EQ(fused[1], b);  // not c, although c shares its id and comes later
  EXPECT_EQ(fused[2], d);
  // Nothing is sorted: a later list's chunks follow, even better-ranked ones.
  EXPECT_EQ(ids_of(concat_fusion({{chunk("z"), chunk("y")}, {chunk("a"), chunk("z")}})),
            (std::vector<std::string>{"z", "y", "a"}));
}

TEST(FusionConcat, EmptyInputs) {
  EXPECT_TRUE(concat_fusion({}).empty());
  EXPECT_TRUE(concat_fusion({{}, {}}).empty());
}

TEST(FusionConcat, AbsentChunkIsAnErrorNotACrash) {
  EXPECT_THROW(concat_fusion({{chunk("a"), nullptr}}), vorn_core::TypeError);
  EXPECT_THROW(rrf_fusion({{nullptr}}), vorn_core::TypeError);
}

// ---- registry and resolution ----------------------------------------------------------

TEST(FusionRegistry, HoldsTheBuiltInsInOrder) {
  EXPECT_EQ(FUSION_REGISTRY.keys(), (std::vector<std::string>{"rrf", "concat"}));
  EXPECT_EQ(resolve_fusion_fn("rrf"), rrf_fusion_fn());
  EXPECT_EQ(resolve_fusion_fn("concat"), concat_fusion_fn());
}

TEST(FusionRegistry, UnknownNamesAreRefusedQuotingTheNameUnchanged) {
  for (const char* name : {"RRF", "", " rrf", "rrf ", "reciprocal"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(message_of<RAGValueError>([&] { resolve_fusion_fn(name); }),
              std::string("Unknown fusion strategy '") + name + "'. Use a registered fusion strategy name and retry.");
  }
}

TEST(FusionRegistry, SelectorsThatAreNeitherNameNorCallableAreTypeErrors) {
  const std::vector<Value> bad = {Value(), Value(3), Value(0.5), Value(true), Value(List{Value("rrf")}),
                                  Value(Dict{{"rrf", 1}}), Value(chunk("not callable"))};
  for (const auto& selector : bad) {
    SCOPED_TRACE(selector.repr());
    EXPECT_EQ(message_of<RAGTypeError>([&] { resolve_fusion_fn(selector); }),
              "Invalid fusion function. Pass a fusion strategy name or a callable and retry.");
  }
}

TEST(FusionRegistry, CustomCallableIsReturnedUnchanged) {
  auto custom = vorn_core::make_function("first", [](List args) { return args.front().as_list().front(); });
  EXPECT_EQ(resolve_fusion_fn(Value(custom)), custom);
}

TEST(FusionRegistry, EntryAddedBeforeResolutionIsFound) {
  FUSION_REGISTRY.set("first_list", [](const Lists& lists) { return lists.empty() ? ChunkList{} : lists.front(); });
  auto fn = resolve_fusion_fn("first_list");
  FUSION_REGISTRY.erase("first_list");
  auto fused = apply_fusion(*fn, Lists{{chunk("a")}, {chunk("b")}});
  EXPECT_EQ(ids_of(fused.value()), (std::vector<std::string>{"a"}));
  EXPECT_THROW(resolve_fusion_fn("first_list"), RAGValueError);
  EXPECT_THROW(FUSION_REGISTRY.set("x", vorn_core::CallablePtr()), RAGValueError);
}

TEST(FusionRegistry, ReadsWhileAnotherThreadRegisters) {
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) {
      const std::string name = "tmp" + std::to_string(i % 8);
      FUSION_REGISTRY.set(name, concat_fusion);
      FUSION_REGISTRY.erase(name);
    }
    stop = true;
  });
  // Read at least once: the writer may finish before this thread is scheduled.
  std::size_t found = 0;
  do {
    if (resolve_fusion_fn("rrf") == rrf_fusion_fn()) ++found;
    found += FUSION_REGISTRY.contains("concat");
  } while (!stop);
  writer.join();
  EXPECT_GT(found, 0u);
  EXPECT_EQ(FUSION_REGISTRY.keys(), (std::vector<std::string>{"rrf", "concat"}));
}

// ---- fusion functions as callables ---------------------------------------------------------

TEST(FusionCallable, BuiltInsTakeTheListOfChunkListsAsOnePositionalArgument) {
  Lists lists = {{chunk("a"), chunk("b")}, {chunk("b"), chunk("c")}};
  List args{vorn_core::to_value(lists)};
  EXPECT_EQ(ids_of(concat_fusion_fn()->call(args, {}).value()), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(ids_of(rrf_fusion_fn()->call(args, {}).value()), ids_of(rrf_fusion(lists)));
  EXPECT_EQ(ids_of(rrf_fusion_fn()->call(List{Value()}, {}).value()), std::vector<std::string>{});
  EXPECT_THROW(rrf_fusion_fn()->call({}, {}), vorn_core::TypeError);
  EXPECT_THROW(rrf_fusion_fn()->call(List{Value("not lists")}, {}), vorn_core::TypeError);
}

// ---- fuse step ------------------------------------------------------------------------------

TEST(FusionFuseStep, BadSelectorRaisesAtCreation) {
  EXPECT_THROW(fuse("RRF", "chunk_lists", "chunks"), RAGValueError);
  EXPECT_THROW(fuse(Value(), "chunk_lists", "chunks"), RAGTypeError);
}

TEST(FusionFuseStep, FusesTheInputKeyIntoTheOutputKey) {
  auto step = fuse("concat", "chunk_lists", "chunks", "fuse_chunks");
  EXPECT_EQ(step->name(), "fuse_chunks");
  EXPECT_EQ(step->kind(), vorn_pipeline::StepKind::kTransform);
  Dict state{{"chunk_lists", vorn_core::to_value(Lists{{chunk("a")}, {chunk("a"), chunk("b")}})}};
  Dict out = run_step(step, state);
  EXPECT_EQ(ids_of(out.at("chunks")), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(out.at("chunk_lists"), state.at("chunk_lists"));
}

Task<Value> first_list_later(List args) {
  co_await vorn_core::yield_now();
  co_return args.front().as_list().front();
}

TEST(FusionFuseStep, CallsCustomCallablesDynamicallyAndAwaitsThem) {
  std::vector<Value> seen;
  auto sync_fn = vorn_core::make_function("first", [&](List args) {
    seen.push_back(args.front());
    return args.front().as_list().front();
  });
  auto async_fn = vorn_core::make_function("first_async", [](List args) { return first_list_later(std::move(args)); });
  Value lists = vorn_core::to_value(Lists{{chunk("x")}, {chunk("y")}});
  for (const auto& fn : {sync_fn, async_fn}) {
    Dict out = run_step(fuse(Value(fn), "lists", "fused"), Dict{{"lists", lists}});
    EXPECT_EQ(ids_of(out.at("fused")), (std::vector<std::string>{"x"}));
  }
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen.front(), lists);
}

TEST(FusionFuseStep, FusionErrorsTakeTheDefaultStepHandling) {
  auto failing = vorn_core::make_function("boom", [](List) -> Value { throw std::runtime_error("boom"); });
  EXPECT_THROW(run_step(fuse(Value(failing), "lists", "fused", "fuse"), Dict{{"lists", List{}}}),
               vorn_pipeline::PipelineRuntimeError);
}

}  // namespace
