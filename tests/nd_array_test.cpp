#include "common/nd_array.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/checks.hpp"

namespace tavrin_inference {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kFloatMin = -3.4e38;

using tavrin_test::doubles;
using tavrin_test::message_of;

// ---- Shape ------------------------------------------------------------------------------------

TEST(ShapeTest, TextFormsAndElementCount) {
  EXPECT_EQ(Shape({1, 8}).str(), "(1, 8)");
  EXPECT_EQ(Shape({3}).str(), "(3)");
  EXPECT_EQ(Shape().str(), "()");
  EXPECT_EQ(Shape({1, 8}).declared_str(), "[1, 8]");
  EXPECT_EQ(Shape().declared_str(), "[]");

  EXPECT_EQ(Shape().numel(), 1);
  EXPECT_EQ(Shape({2, 0, 5}).numel(), 0);
  EXPECT_EQ(Shape({2, 3, 4}).numel(), 24);

  const std::vector<int> dims{4, 5};
  const Shape from_range(dims.begin(), dims.end());
  EXPECT_EQ(from_range, Shape({4, 5}));
  EXPECT_FALSE(Shape({4, 5}) == Shape({4, 5, 1}));
  EXPECT_EQ(Shape({4, 5, 6}).drop_front(), Shape({5, 6}));
}

TEST(ShapeTest, CapacityAndIndexing) {
  Shape s{1, 1, 1, 1, 1, 1, 1, 1};
  EXPECT_EQ(s.ndim(), Shape::kMaxDims);
  EXPECT_THROW(s.push_back(1), InvalidArgumentError);
  EXPECT_THROW((Shape{1, 1, 1, 1, 1, 1, 1, 1, 1}), InvalidArgumentError);

  Shape t{2, 3};
  t[1] = 7;
  EXPECT_EQ(t, Shape({2, 7}));
  EXPECT_THROW(t[2], IndexError);
}

TEST(ShapeTest, ElementCountRefusesProductsBeyondInt64) {
  constexpr std::int64_t kBig = std::int64_t{1} << 32;
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  // Products that wrapped around: to 0, to a small positive count, to a negative one.
  for (const Shape& s :
       {Shape{kBig, kBig}, Shape{kBig, kBig + 1, 4}, Shape{kMax, 2}, Shape{3, 3, kMax / 4}, Shape{-kBig, kBig}}) {
    EXPECT_THAT(message_of<InvalidArgumentError>([&] { (void)s.numel(); }),
                ::testing::AllOf(::testing::HasSubstr(s.str()), ::testing::HasSubstr("more elements")))
        << s;
  }
  // The largest products that fit, also with open (negative) dimensions of declared shapes.
  EXPECT_EQ(Shape({kMax}).numel(), kMax);
  EXPECT_EQ(Shape({kBig / 2, kBig - 1}).numel(), (kBig / 2) * (kBig - 1));
  EXPECT_EQ(Shape({-1, kMax}).numel(), -kMax);
  EXPECT_EQ(Shape({-1, 8}).numel(), -8);
  // A zero-sized dimension makes the count 0 wherever it is, however large the others are.
  EXPECT_EQ(Shape({kMax, kMax, 0}).numel(), 0);
  EXPECT_EQ(Shape({0, kMax, kMax}).numel(), 0);
}

TEST(ShapeTest, ArraysOfOverflowingShapesAreRefusedBeforeAllocating) {
  constexpr std::int64_t kBig = std::int64_t{1} << 32;
  EXPECT_THROW(NdArray(DType::float32, Shape{kBig, kBig}), InvalidArgumentError);
  EXPECT_THROW(NdArray(DType::int8, Shape{kBig, kBig, kBig}), InvalidArgumentError);
  EXPECT_THROW(NdArray::from_vector(std::vector<double>{}, Shape{kBig, kBig}), InvalidArgumentError);
  EXPECT_THROW(NdArray::full(Shape{kBig, kBig, 1}, DType::float64, 1.0), InvalidArgumentError);
  EXPECT_EQ(NdArray(DType::float32, Shape{kBig, 0}).size(), 0);
}

// ---- construction -----------------------------------------------------------------------------

TEST(NdArrayConstructionTest, DefaultsZerosAndFactories) {
  const NdArray empty;
  EXPECT_EQ(empty.dtype(), DType::float64);
  EXPECT_EQ(empty.shape(), Shape({0}));
  EXPECT_EQ(empty.size(), 0);

  const NdArray zeros(DType::int64, Shape{2, 3});
  EXPECT_EQ(zeros.dtype(), DType::int64);
  EXPECT_EQ(zeros.ndim(), 2u);
  EXPECT_EQ(doubles(zeros), std::vector<double>(6, 0.0));
  EXPECT_THROW(NdArray(DType::float32, Shape{2, -1}), InvalidArgumentError);

  const NdArray ones = NdArray::ones(Shape{3}, DType::float64);
  EXPECT_EQ(doubles(ones), std::vector<double>(3, 1.0));
  EXPECT_EQ(ones.dtype(), DType::float64);

  // full converts like set_double: truncation toward zero for integers.
  const NdArray full = NdArray::full(Shape{2}, DType::int8, -2.7);
  EXPECT_EQ(doubles(full), (std::vector<double>{-2.0, -2.0}));
}

TEST(NdArrayConstructionTest, FromVectorAndScalar) {
  const NdArray a = NdArray::from_vector(std::vector<float>{1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f}, Shape{2, 3});
  EXPECT_EQ(doubles(a), (std::vector<double>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(a.shape(), Shape({2, 3}));

  EXPECT_EQ(message_of<InvalidArgumentError>([] {
              NdArray::from_vector(std::vector<double>{1, 2, 3}, Shape{2, 2});
            }),
            "cannot reshape array of size 3 into shape (2, 2)");

  EXPECT_EQ(NdArray::from_vector(std::vector<std::int8_t>{1, 0}).shape(), Shape({2}));

  const NdArray s = NdArray::scalar(2.5);
  EXPECT_EQ(s.ndim(), 0u);
  EXPECT_EQ(s.size(), 1);
  EXPECT_EQ(s.at_double(0), 2.5);
  EXPECT_EQ(NdArray::scalar(2.5f).dtype(), DType::float32);
  EXPECT_EQ(NdArray::scalar(std::int8_t{1}).dtype(), DType::int8);
  EXPECT_EQ(NdArray::scalar(7).dtype(), DType::int64);
  EXPECT_EQ(NdArray::scalar(true).dtype(), DType::int8);
}

TEST(NdArrayConstructionTest, TypedAccessChecksElementType) {
  NdArray a = NdArray::from_vector(std::vector<double>{1.0, 2.0});
  EXPECT_THROW(a.data<float>(), TypeError);
  EXPECT_THROW(std::as_const(a).span<std::int64_t>(), TypeError);
  EXPECT_EQ(a.span<double>().size(), 2u);
  a.span<double>()[1] = 9.0;
  EXPECT_EQ(a.at_double(1), 9.0);

  EXPECT_THROW(a.at_double(2), IndexError);
  EXPECT_THROW(a.at_double(-1), IndexError);
  EXPECT_THROW(a.set_double(2, 0.0), IndexError);
}

TEST(NdArrayConstructionTest, MovedFromArrayIsEmptyNotStale) {
  NdArray a = NdArray::ones(Shape{4}, DType::int64);
  NdArray b = std::move(a);
  EXPECT_EQ(b.size(), 4);
  // The moved-from state is part of the contract.
  // NOLINTNEXTLINE(bugprone-use-after-move,clang-analyzer-cplusplus.Move)
  EXPECT_EQ(a.size(), 0);
  EXPECT_THROW(a.at_double(0), IndexError);

  NdArray c;
  c = std::move(b);
  EXPECT_EQ(c.size(), 4);
  EXPECT_EQ(b.shape(), Shape({0}));  // NOLINT(bugprone-use-after-move,clang-analyzer-cplusplus.Move): as above
}

// ---- conversion -------------------------------------------------------------------------------

TEST(NdArrayConversionTest, AstypeConvertsValues) {
  const NdArray f = NdArray::from_vector(std::vector<double>{1.9, -1.9, 0.0, 1.0});
  const NdArray i8 = f.astype(DType::int8);
  EXPECT_EQ(i8.dtype(), DType::int8);
  EXPECT_EQ(doubles(i8), (std::vector<double>{1.0, -1.0, 0.0, 1.0}));
  EXPECT_EQ(f.dtype(), DType::float64);  // the source is untouched

  // Values no integer can hold saturate, NaN becomes 0 (a plain cast would be undefined).
  const NdArray wild = NdArray::from_vector(std::vector<double>{1e30, -1e30, kNaN, 300.0});
  EXPECT_EQ(doubles(wild.astype(DType::int8)), (std::vector<double>{127, -128, 0, 127}));
  const NdArray big = wild.astype(DType::int64);
  EXPECT_EQ(big.data<std::int64_t>()[0], std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(big.data<std::int64_t>()[1], std::numeric_limits<std::int64_t>::min());

  NdArray m(DType::int8, Shape{2});
  m.set_double(0, 0.99);
  m.set_double(1, -0.99);
  EXPECT_EQ(doubles(m), (std::vector<double>{0.0, 0.0}));

  const NdArray f32 = NdArray::from_vector(std::vector<double>{0.1}).astype(DType::float32);
  EXPECT_EQ(f32.data<float>()[0], 0.1f);
}

TEST(NdArrayConversionTest, RvalueConversionsReuseTheBuffer) {
  NdArray a = NdArray::from_vector(std::vector<double>{1, 0, 1, 1, 0, 1}, Shape{2, 3});
  const double* raw = a.data<double>();

  NdArray same = std::move(a).astype(DType::float64);
  EXPECT_EQ(same.data<double>(), raw);

  NdArray reshaped = std::move(same).reshape(Shape{3, 2});
  EXPECT_EQ(reshaped.data<double>(), raw);
  NdArray flat = std::move(reshaped).flatten();
  EXPECT_EQ(flat.data<double>(), raw);
  EXPECT_EQ(flat.shape(), Shape({6}));

  // An lvalue conversion to its own type shares the elements, as any copy does.
  const NdArray copy = flat.astype(DType::float64);
  EXPECT_EQ(copy.data<double>(), std::as_const(flat).data<double>());
  EXPECT_EQ(copy, flat);
}

// ---- copy on write ----------------------------------------------------------------------------

TEST(NdArrayCopyOnWriteTest, WritingACopyNeverChangesTheOriginal) {
  NdArray original = NdArray::from_vector(std::vector<double>{1, 2, 3});
  NdArray copy = original;
  EXPECT_EQ(std::as_const(copy).data<double>(), std::as_const(original).data<double>());  // shared
  EXPECT_FALSE(original.writable_in_place());

  copy.data<double>()[0] = 9.0;
  copy.set_double(1, 8.0);
  EXPECT_EQ(doubles(original), (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(doubles(copy), (std::vector<double>{9, 8, 3}));
  EXPECT_TRUE(original.writable_in_place());

  // Reshaping a shared array, in place or not, leaves the other sharer's shape and elements alone.
  NdArray other = original;
  NdArray reshaped = std::move(other).reshape(Shape{3, 1});
  reshaped.span<double>()[2] = 7.0;
  EXPECT_EQ(original.shape(), Shape({3}));
  EXPECT_EQ(doubles(original), (std::vector<double>{1, 2, 3}));

  // Elements owned elsewhere are read in place, copied before a write, and their owner is released
  // with the last array that shares them.
  auto owner = std::make_shared<std::vector<float>>(std::vector<float>{4, 5});
  NdArray external = NdArray::from_external(owner->data(), Shape{2}, owner);
  EXPECT_EQ(std::as_const(external).data<float>(), owner->data());
  EXPECT_FALSE(external.writable_in_place());
  NdArray written = external;
  written.data<float>()[0] = 0.0f;
  EXPECT_EQ((*owner)[0], 4.0f);
  EXPECT_EQ(owner.use_count(), 2);
  external = NdArray();
  EXPECT_EQ(owner.use_count(), 1);
}

TEST(NdArrayCopyOnWriteTest, CopiesWrittenInOtherThreadsLeaveTheOriginalIntact) {
  const NdArray original = NdArray::full(Shape{256}, DType::float32, 1.0);
  std::vector<std::thread> threads;
  threads.reserve(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&original, t] {
      for (int round = 0; round < 200; ++round) {
        NdArray mine = original;
        NdArray passed_on = mine;  // a second sharer that is dropped while the first one writes
        float* p = mine.data<float>();
        for (int i = 0; i < 256; ++i) p[i] = static_cast<float>(t + 2);
        passed_on = NdArray();
        EXPECT_EQ(mine.at_double(255), t + 2);
      }
    });
  }
  for (int round = 0; round < 200; ++round) EXPECT_EQ(original.at_double(round), 1.0);
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(original, NdArray::full(Shape{256}, DType::float32, 1.0));
}

TEST(NdArrayConversionTest, ReshapeKeepsRowMajorOrderAndReportsMismatch) {
  const NdArray a = NdArray::from_vector(std::vector<std::int64_t>{1, 2, 3, 4, 5, 6}, Shape{2, 3});
  const NdArray t = a.reshape(Shape{3, 2});
  EXPECT_EQ(doubles(t.row(0)), (std::vector<double>{1, 2}));
  EXPECT_EQ(doubles(t.row(2)), (std::vector<double>{5, 6}));
  EXPECT_EQ(doubles(a.flatten()), (std::vector<double>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(a.reshape(Shape{-1}).shape(), Shape({6}));
  EXPECT_EQ(a.reshape(Shape{3, -1}).shape(), Shape({3, 2}));
  EXPECT_EQ(NdArray::scalar(1.0).reshape(Shape{1, 1}).shape(), Shape({1, 1}));

  EXPECT_EQ(message_of<InvalidArgumentError>([&] {
              (void)a.reshape(Shape{4, 2});
            }),
            "cannot reshape array of size 6 into shape (4, 2)");
  EXPECT_EQ(message_of<InvalidArgumentError>([&] { (void)a.reshape(Shape{4}); }),
            "cannot reshape array of size 6 into shape (4)");
  EXPECT_THROW((void)a.reshape(Shape{4, -1}), InvalidArgumentError);
  EXPECT_THROW((void)a.reshape(Shape{-1, -1}), InvalidArgumentError);
  EXPECT_EQ(a.shape(), Shape({2, 3}));  // a failed reshape leaves the source alone
}

// ---- rows and slices --------------------------------------------------------------------------

TEST(NdArrayIndexingTest, RowTakesFirstAxisEntries) {
  const NdArray logits = NdArray::from_vector(std::vector<float>{0.5f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f}, Shape{2, 3});
  const NdArray r = logits.row(1);
  EXPECT_EQ(r.dtype(), DType::float32);
  EXPECT_EQ(r.shape(), Shape({3}));
  EXPECT_EQ(doubles(r), (std::vector<double>{4, 5, 6}));

  const NdArray elem = r.row(0);
  EXPECT_EQ(elem.ndim(), 0u);
  EXPECT_EQ(elem.at_double(0), 4.0);

  EXPECT_EQ(message_of<IndexError>([&] { (void)logits.row(2); }), "index 2 is out of bounds for axis 0 with size 2");
  EXPECT_THROW((void)logits.row(-1), IndexError);
  EXPECT_THROW((void)elem.row(0), TypeError);
}

TEST(NdArrayIndexingTest, SliceClampsLikePython) {
  const NdArray row = NdArray::from_vector(std::vector<double>{10, 11, 12, 13, 14});
  EXPECT_EQ(doubles(row.slice(1, 3)), (std::vector<double>{11, 12}));
  EXPECT_EQ(doubles(row.slice(4, 7)), (std::vector<double>{14}));  // runs past the end
  EXPECT_EQ(row.slice(7, 9).size(), 0);
  EXPECT_EQ(row.slice(7, 9).shape(), Shape({0}));
  EXPECT_EQ(row.slice(3, 1).size(), 0);
  EXPECT_EQ(doubles(row.slice(-2, 100)), (std::vector<double>{13, 14}));
  EXPECT_EQ(row.slice(0, 5), row);

  const NdArray m = NdArray::from_vector(std::vector<std::int8_t>{1, 2, 3, 4, 5, 6}, Shape{3, 2});
  const NdArray tail = m.slice(1, 3);
  EXPECT_EQ(tail.shape(), Shape({2, 2}));
  EXPECT_EQ(doubles(tail), (std::vector<double>{3, 4, 5, 6}));
  EXPECT_THROW((void)NdArray::scalar(1.0).slice(0, 1), TypeError);
}

// ---- concatenate ------------------------------------------------------------------------------

TEST(NdArrayConcatenateTest, PromotesElementTypes) {
  struct Case {
    DType a, b, expected;
  };
  const Case cases[] = {
      {DType::float64, DType::int8, DType::float64},  {DType::float64, DType::float32, DType::float64},
      {DType::float32, DType::int64, DType::float64}, {DType::float32, DType::int8, DType::float32},
      {DType::int64, DType::int8, DType::int64},      {DType::int8, DType::int8, DType::int8},
  };
  for (const Case& c : cases) {
    for (bool swap : {false, true}) {
      const NdArray x = NdArray::full(Shape{2}, swap ? c.b : c.a, 1.0);
      const NdArray y = NdArray::full(Shape{1}, swap ? c.a : c.b, 3.0);
      const NdArray joined = NdArray::concatenate({x, y});
      EXPECT_EQ(joined.dtype(), c.expected) << dtype_name(c.a) << " + " << dtype_name(c.b);
      EXPECT_EQ(doubles(joined), (std::vector<double>{1, 1, 3}));
      EXPECT_EQ(promote_types(swap ? c.b : c.a, swap ? c.a : c.b), c.expected);
    }
  }
}

TEST(NdArrayConcatenateTest, JoinsAlongFirstAxis) {
  const NdArray a = NdArray::from_vector(std::vector<double>{1, 2, 3, 4}, Shape{2, 2});
  const NdArray b = NdArray::from_vector(std::vector<double>{5, 6}, Shape{1, 2});
  const NdArray joined = NdArray::concatenate({a, b});
  EXPECT_EQ(joined.shape(), Shape({3, 2}));
  EXPECT_EQ(doubles(joined), (std::vector<double>{1, 2, 3, 4, 5, 6}));

  // Empty parts contribute nothing and still take part in the type promotion.
  const NdArray e =
      NdArray::concatenate({NdArray(DType::int8, Shape{0}), NdArray::from_vector(std::vector<float>{1.5f})});
  EXPECT_EQ(e.dtype(), DType::float32);
  EXPECT_EQ(e.size(), 1);
}

TEST(NdArrayConcatenateTest, RejectsMismatchedParts) {
  EXPECT_EQ(message_of<InvalidArgumentError>([] { NdArray::concatenate({}); }),
            "need at least one array to concatenate");
  EXPECT_THROW(NdArray::concatenate({NdArray::scalar(1.0), NdArray::scalar(2.0)}), InvalidArgumentError);

  const NdArray v = NdArray::ones(Shape{2}, DType::float64);
  const NdArray m = NdArray::ones(Shape{1, 2}, DType::float64);
  EXPECT_EQ(message_of<InvalidArgumentError>([&] {
              NdArray::concatenate({v, m});
            }),
            "all the input arrays must have same number of dimensions, but the array at index 0 "
            "has 1 dimension(s) and the array at index 1 has 2 dimension(s)");
  const NdArray m3 = NdArray::ones(Shape{1, 3}, DType::float64);
  EXPECT_EQ(message_of<InvalidArgumentError>([&] {
              NdArray::concatenate({m, m, m3});
            }),
            "all the input array dimensions except for the concatenation axis must match exactly, "
            "but along dimension 1, the array at index 0 has size 2 and the array at index 2 has "
            "size 3");
}

// ---- element-wise -----------------------------------------------------------------------------

TEST(NdArrayElementwiseTest, AdditionPromotesAndBroadcastsSingleElements) {
  // The masking step: float32 logits plus a float64 penalty row.
  const NdArray logits = NdArray::from_vector(std::vector<float>{1.0f, 9.0f, 3.0f});
  const NdArray penalty = NdArray::from_vector(std::vector<double>{0.0, kFloatMin, 0.0});
  const NdArray masked = logits + penalty;
  EXPECT_EQ(masked.dtype(), DType::float64);
  EXPECT_EQ(masked.at_double(1), kFloatMin + 9.0);
  EXPECT_EQ(masked.argmax(), 2);

  const NdArray m = NdArray::from_vector(std::vector<std::int64_t>{1, 2, 3, 4}, Shape{2, 2});
  const NdArray shifted = m + NdArray::scalar(0.5f);
  EXPECT_EQ(shifted.dtype(), DType::float64);  // float32 with int64
  EXPECT_EQ(shifted.shape(), Shape({2, 2}));
  EXPECT_EQ(doubles(shifted), (std::vector<double>{1.5, 2.5, 3.5, 4.5}));
  EXPECT_EQ((NdArray::scalar(std::int8_t{1}) + m).shape(), Shape({2, 2}));
  // A single element of more dimensions widens the result like the usual broadcasting does.
  EXPECT_EQ((NdArray::ones(Shape{1, 1}, DType::float64) + NdArray::ones(Shape{3}, DType::float64)).shape(),
            Shape({1, 3}));

  // Integer sums wrap in their element type instead of overflowing.
  const NdArray i8 = NdArray::from_vector(std::vector<std::int8_t>{127});
  EXPECT_EQ((i8 + i8).at_double(0), -2.0);

  EXPECT_EQ(message_of<InvalidArgumentError>(
                [] { (void)(NdArray::ones(Shape{2}, DType::int8) + NdArray::ones(Shape{3}, DType::int8)); }),
            "operands could not be broadcast together with shapes (2) (3)");
  EXPECT_THROW((void)(NdArray::ones(Shape{3, 1}, DType::int8) + NdArray::ones(Shape{1, 3}, DType::int8)),
               InvalidArgumentError);
}

TEST(NdArrayElementwiseTest, GreaterAndWhereBuildMasks) {
  const NdArray mask = NdArray::from_vector(std::vector<float>{1.0f, 0.0f, -1.0f, 1e-9f, NAN});
  const NdArray allowed = mask.greater(0.0);
  EXPECT_EQ(allowed.dtype(), DType::int8);
  EXPECT_EQ(allowed.shape(), mask.shape());
  EXPECT_EQ(doubles(allowed), (std::vector<double>{1, 0, 0, 1, 0}));

  const NdArray penalty = NdArray::where(allowed, NdArray::scalar(0.0), NdArray::scalar(kFloatMin));
  EXPECT_EQ(penalty.dtype(), DType::float64);
  EXPECT_EQ(doubles(penalty), (std::vector<double>{0, kFloatMin, kFloatMin, 0, kFloatMin}));

  // Element-wise choice with the result type promoted from both choices; a NaN condition is true.
  const NdArray cond = NdArray::from_vector(std::vector<double>{0.0, kNaN, 2.0});
  const NdArray a = NdArray::from_vector(std::vector<std::int64_t>{1, 2, 3});
  const NdArray b = NdArray::from_vector(std::vector<std::int8_t>{-1, -2, -3});
  const NdArray chosen = NdArray::where(cond, a, b);
  EXPECT_EQ(chosen.dtype(), DType::int64);
  EXPECT_EQ(doubles(chosen), (std::vector<double>{-1, 2, 3}));

  EXPECT_THROW(NdArray::where(cond, NdArray::ones(Shape{2}, DType::int8), b), InvalidArgumentError);
}

TEST(NdArrayElementwiseTest, ExpAndClip) {
  const NdArray f32 = NdArray::from_vector(std::vector<float>{0.0f, 1.0f});
  const NdArray e32 = f32.exp();
  EXPECT_EQ(e32.dtype(), DType::float32);
  EXPECT_EQ(e32.data<float>()[1], std::exp(1.0f));
  const NdArray ei = NdArray::from_vector(std::vector<std::int64_t>{0, 2}).exp();
  EXPECT_EQ(ei.dtype(), DType::float64);
  EXPECT_DOUBLE_EQ(ei.at_double(1), std::exp(2.0));

  const NdArray means = NdArray::from_vector(std::vector<float>{3.0f, -0.25f, -7.0f, NAN});
  const NdArray clipped = means.clip(-1.0, 1.0);
  EXPECT_EQ(clipped.dtype(), DType::float32);
  EXPECT_EQ(clipped.at_double(0), 1.0);
  EXPECT_EQ(clipped.at_double(1), -0.25);
  EXPECT_EQ(clipped.at_double(2), -1.0);
  EXPECT_TRUE(std::isnan(clipped.at_double(3)));

  // Integer arrays clip to the integers inside the bounds and stay integers.
  const NdArray ints = NdArray::from_vector(std::vector<std::int64_t>{-5, 0, 5});
  const NdArray ic = ints.clip(-1.5, 2.5);
  EXPECT_EQ(ic.dtype(), DType::int64);
  EXPECT_EQ(doubles(ic), (std::vector<double>{-1, 0, 2}));
}

// ---- reductions -------------------------------------------------------------------------------

TEST(NdArrayReductionTest, MaxAndSum) {
  const NdArray a = NdArray::from_vector(std::vector<double>{1.0, 5.0, -2.0});
  EXPECT_EQ(a.max(), 5.0);
  EXPECT_EQ(a.sum(), 4.0);
  EXPECT_TRUE(std::isnan(NdArray::from_vector(std::vector<float>{1.0f, NAN, 7.0f}).max()));
  EXPECT_EQ(NdArray::from_vector(std::vector<std::int8_t>{-3, -1, -2}).max(), -1.0);
  EXPECT_EQ(NdArray::from_vector(std::vector<std::int8_t>{100, 100, 100}).sum(), 300.0);
  EXPECT_EQ(NdArray(DType::int64, Shape{0}).sum(), 0.0);

  EXPECT_EQ(message_of<InvalidArgumentError>([] { (void)NdArray().max(); }),
            "zero-size array to reduction operation maximum which has no identity");
}

TEST(NdArrayReductionTest, ArgmaxPrefersFirstMaximumAndFirstNaN) {
  EXPECT_EQ(NdArray::from_vector(std::vector<double>{0.5, 2.0, 2.0}).argmax(), 1);
  EXPECT_EQ(NdArray::from_vector(std::vector<double>{1.0, kNaN, 9.0, kNaN}).argmax(), 1);
  EXPECT_EQ(NdArray::from_vector(std::vector<float>{NAN, 1.0f}).argmax(), 0);
  EXPECT_EQ(NdArray::from_vector(std::vector<std::int64_t>{3, 7, 7, 1}).argmax(), 1);
  // A fully masked range: every entry carries the same penalty, the first wins.
  EXPECT_EQ(NdArray::full(Shape{4}, DType::float64, kFloatMin).argmax(), 0);
  // Flat index over all dimensions.
  EXPECT_EQ(NdArray::from_vector(std::vector<double>{0, 1, 8, 2}, Shape{2, 2}).argmax(), 2);

  EXPECT_EQ(message_of<InvalidArgumentError>([] { (void)NdArray().argmax(); }),
            "attempt to get argmax of an empty sequence");

  const std::vector<float> row{9.0f, 0.0f, 5.0f, 5.0f, 1.0f};
  EXPECT_EQ(argmax_range(row.data() + 1, row.data() + 5), 1);  // relative to the range start
  EXPECT_THROW(argmax_range(row.data() + 2, row.data() + 2), InvalidArgumentError);
}

TEST(NdArrayReductionTest, EqualityComparesTypeShapeAndValues) {
  const NdArray a = NdArray::from_vector(std::vector<double>{1, 2});
  EXPECT_EQ(a, NdArray::from_vector(std::vector<double>{1, 2}));
  EXPECT_FALSE(a == NdArray::from_vector(std::vector<float>{1, 2}));
  EXPECT_FALSE(a == a.reshape(Shape{1, 2}));
  const NdArray n = NdArray::scalar(kNaN);
  EXPECT_FALSE(n == n);
}

// ---- text -------------------------------------------------------------------------------------

TEST(NdArrayTextTest, NestedListsWithShortestFloats) {
  EXPECT_EQ(NdArray::from_vector(std::vector<double>{1.0, 0.0, 2.5, 3.0}, Shape{2, 2}).str(),
            "[[1.0, 0.0], [2.5, 3.0]]");
  EXPECT_EQ(NdArray::from_vector(std::vector<std::int64_t>{1, 0}).str(), "[1, 0]");
  EXPECT_EQ(NdArray::from_vector(std::vector<std::int8_t>{1, 0, -1}).str(), "[1, 0, -1]");
  EXPECT_EQ(NdArray::scalar(2.5).str(), "2.5");
  EXPECT_EQ(NdArray::scalar(std::int64_t{-7}).str(), "-7");
  EXPECT_EQ(NdArray().str(), "[]");
  EXPECT_EQ(NdArray(DType::float32, Shape{2, 0}).str(), "[[], []]");
  EXPECT_EQ(NdArray(DType::int8, Shape{1, 1, 2}).str(), "[[[0, 0]]]");

  const NdArray floats = NdArray::from_vector(
      std::vector<double>{0.1, 1.0, -0.0, 1e16, 1e15, 123456.789, 0.0001, 1e-5, 1.5e-7, kFloatMin, kNaN,
                          std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()});
  EXPECT_EQ(floats.str(),
            "[0.1, 1.0, -0.0, 1e+16, 1000000000000000.0, 123456.789, 0.0001, 1e-05, 1.5e-07, "
            "-3.4e+38, nan, inf, -inf]");
  // float32 values print with the digits that round-trip in float32.
  EXPECT_EQ(NdArray::from_vector(std::vector<float>{0.1f, 3.0f}).str(), "[0.1, 3.0]");
  EXPECT_EQ(NdArray::from_vector(std::vector<double>{1.2345678901234568e+17, 1e100}).str(),
            "[1.2345678901234568e+17, 1e+100]");
}

}  // namespace
}  // namespace tavrin_inference
