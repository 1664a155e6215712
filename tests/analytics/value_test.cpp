// APMValue: conversion from objects, typed getters, equality and hashing.
#include "analytics/model/value.h"

#include "tests/analytics/model_support.h"

namespace {

namespace fd = platform::foundation;
using namespace analytics;
using analytics_test::MonitorRecorder;

class AnalyticsValueTest : public analytics_test::AnalyticsUnbootedTest {};

TEST_F(AnalyticsValueTest, ValueFromObjectKeepsIntegersAndRealsApart) {
  struct Row {
    fd::Value object;
    std::int64_t type;
    std::string description;
  };
  const Row rows[] = {
      {fd::Value(true), APMValue::kInt64, "1"},
      {fd::Value(false), APMValue::kInt64, "0"},
      {fd::Value(1.5), APMValue::kDouble, "1.5"},
      {fd::Value(2), APMValue::kInt64, "2"},
      {fd::Value("text"), APMValue::kString, "text"},
  };
  MonitorRecorder recorder;
  for (const Row& row : rows) {
    const APMValueRef value = APMValue::valueFromObject(row.object);
    ASSERT_TRUE(value) << row.description;
    EXPECT_EQ(value->valueType(), row.type) << row.description;
    EXPECT_EQ(value->description(), row.description);
  }
  EXPECT_TRUE(recorder.codes().empty());

  const APMValueRef existing = APMValue::initWithDouble(3.0);
  EXPECT_EQ(APMValue::valueFromObject(APMValueObject(existing)), existing);
}

TEST_F(AnalyticsValueTest, UnsupportedObjectsGiveNothingAfterTheirMessage) {
  struct Row {
    fd::Value object;
    std::int64_t code;
  };
  const Row rows[] = {{fd::Value(), 35000}, {fd::Value(fd::Array{1, 2}), 35001}, {fd::Value(fd::Date{5}), 35001}};
  for (const Row& row : rows) {
    MonitorRecorder recorder;
    EXPECT_FALSE(APMValue::valueFromObject(row.object));
    ASSERT_EQ(recorder.calls().size(), 1u);
    EXPECT_EQ(recorder.calls()[0].code, row.code);
    EXPECT_EQ(recorder.calls()[0].level, 0);
  }
  MonitorRecorder recorder;
  EXPECT_FALSE(APMValue::initWithString(fd::Value()));
  EXPECT_FALSE(APMValue::initWithString(fd::Value(4)));
  EXPECT_EQ(recorder.codes(), (std::vector<std::int64_t>{35002, 35003}));
}

TEST_F(AnalyticsValueTest, GettersAnswerZeroOrNothingForOtherTypes) {
  const APMValueRef text = APMValue::initWithString("abc");
  const APMValueRef integer = APMValue::initWithInt64(7);
  const APMValueRef real = APMValue::initWithDouble(2.5);
  EXPECT_EQ(text->doubleValue(), 0);
  EXPECT_EQ(text->int64Value(), 0);
  EXPECT_EQ(integer->stringValue(), std::nullopt);
  EXPECT_EQ(integer->doubleValue(), 0);
  EXPECT_EQ(real->int64Value(), 0);
  EXPECT_EQ(text->stringValue(), "abc");
  EXPECT_EQ(integer->int64Value(), 7);
  EXPECT_EQ(real->doubleValue(), 2.5);
  EXPECT_TRUE(text->isString() && integer->isInt64() && real->isDouble());
}

TEST_F(AnalyticsValueTest, EqualityComparesTypeAndValueWithAMatchingHash) {
  const APMValueRef one = APMValue::initWithInt64(1);
  EXPECT_FALSE(one->isEqual(APMValue::initWithDouble(1.0).get()));
  EXPECT_TRUE(one->isEqual(APMValue::initWithInt64(1).get()));
  EXPECT_FALSE(one->isEqual(nullptr));

  const APMValueRef a = APMValue::initWithString("a");
  const APMValueRef b = APMValue::initWithString("a");
  EXPECT_TRUE(a->isEqual(b.get()));
  EXPECT_EQ(a->hash(), b->hash());

  const APMValueRef copy = one->copy();
  EXPECT_NE(copy, one);
  EXPECT_TRUE(copy->isEqual(one.get()));
  EXPECT_EQ(copy->hash(), one->hash());
}

}  // namespace
