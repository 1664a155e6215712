#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime_fixture.h"

namespace platform::rt::test {
namespace {

const Sel<int()> message_value{"value"};
const Sel<std::string(std::string, int)> repeat{"repeat:times:"};
const Sel<void(bool)> did_appear{"viewDidAppear:"};
const Sel<void(std::string)> marker{"loadedTagSelector:"};
const ClassSel<std::string()> shared_name{"sharedName"};

class MessageTest : public RuntimeTest {
 protected:
  // Base implements value (1); Sub overrides it (2); Leaf inherits Sub's.
  void SetUp() override {
    base_ = &define("Base");
    sub_ = &define("Sub", "Base");
    leaf_ = &define("Leaf", "Sub");
    base_->add_method(message_value, returning(message_value, 1));
    sub_->add_method(message_value, returning(message_value, 2));
  }

  Class* base_ = nullptr;
  Class* sub_ = nullptr;
  Class* leaf_ = nullptr;
};

TEST_F(MessageTest, SendRunsTheNearestEntryOfTheReceiversChain) {
  struct Case {
    const char* cls;
    int expected;
  };
  for (Case c : {Case{"Base", 1}, Case{"Sub", 2}, Case{"Leaf", 2}}) {
    Id object = runtime_.find(c.cls)->create();
    EXPECT_EQ(send(*object, message_value), c.expected) << c.cls;
  }

  base_->add_method(repeat, Imp::make(repeat, [](Object&, std::string text, int times) {
                      std::string out;
                      for (int i = 0; i < times; ++i) out += text;
                      return out;
                    }));
  Id leaf = leaf_->create();
  EXPECT_EQ(send(*leaf, repeat, "ab", 3), "ababab");
}

TEST_F(MessageTest, UnrecognizedSelectorNamesSideClassSelectorAndAddress) {
  Id object = sub_->create();
  try {
    send(*object, did_appear, true);
    FAIL() << "expected UnrecognizedSelector";
  } catch (const UnrecognizedSelector& e) {
    EXPECT_EQ(std::string(e.what()),
              "-[Sub viewDidAppear:]: unrecognized selector sent to instance " + pointer_text(object.get()));
  }
  try {
    send(*sub_, shared_name);
    FAIL() << "expected UnrecognizedSelector";
  } catch (const UnrecognizedSelector& e) {
    EXPECT_EQ(std::string(e.what()), "+[Sub sharedName]: unrecognized selector sent to class " + pointer_text(sub_));
  }
}

TEST_F(MessageTest, EntryWithEmptyImpResolvesButSendingItThrows) {
  ASSERT_TRUE(base_->add_method(marker, Imp{}));
  Id object = leaf_->create();

  ASSERT_TRUE(leaf_->resolve(marker).has_value());
  EXPECT_EQ(leaf_->resolve(marker)->owner, base_);
  EXPECT_TRUE(object->responds_to(marker));
  EXPECT_THROW(send(*object, marker, "x"), UnrecognizedSelector);
  EXPECT_THROW(send_if_responds(*object, marker, "x"), UnrecognizedSelector);
  // The second add is the double-load signal: refused, entry unchanged.
  EXPECT_FALSE(base_->add_method(marker, Imp::make(marker, [](Object&, std::string) {})));
  EXPECT_FALSE(base_->lookup(marker));
}

TEST_F(MessageTest, TypedCallOfAnImpMadeForAnotherSignatureThrows) {
  const Sel<long()> value_as_long{"value"};
  Id object = sub_->create();
  EXPECT_THROW(send(*object, value_as_long), SignatureMismatch);

  Imp saved = sub_->lookup(message_value);
  EXPECT_EQ(saved.call(message_value, *object), 2);
  EXPECT_THROW(saved.call(value_as_long, *object), SignatureMismatch);

  // Same R(A...) on the class side is still another receiver: refused too.
  const ClassSel<int()> class_value{"value"};
  sub_->replace_method(message_value, Imp::make(class_value, [](Class&) { return 9; }));
  EXPECT_EQ(sub_->lookup(message_value).signature(), base_->lookup(message_value).signature());
  EXPECT_THROW(send(*object, message_value), SignatureMismatch);
}

TEST_F(MessageTest, SendIfRespondsSendsOnlyToRespondingReceivers) {
  Id object = leaf_->create();
  EXPECT_EQ(send_if_responds(*object, message_value), std::optional<int>(2));
  EXPECT_EQ(send_if_responds(*object, repeat, "a", 1), std::nullopt);
  EXPECT_FALSE(send_if_responds(*object, did_appear, true));

  std::vector<bool> seen;
  base_->add_method(did_appear, Imp::make(did_appear, [&seen](Object&, bool animated) { seen.push_back(animated); }));
  EXPECT_TRUE(send_if_responds(*object, did_appear, true));
  EXPECT_EQ(seen, std::vector<bool>{true});
}

TEST_F(MessageTest, SavedImpIsCalledByTheBlockThatReplacedIt) {
  std::vector<std::string> log;
  base_->add_method(did_appear, Imp::make(did_appear, [&log](Object& self, bool animated) {
                      log.push_back(std::string(self.isa().name()) + (animated ? " appeared" : " appeared still"));
                    }));
  Imp saved = base_->lookup(did_appear);
  Imp block = Imp::make(did_appear, [saved, &log](Object& self, bool animated) {
    saved.call(did_appear, self, animated);
    log.push_back("tracked");
  });
  EXPECT_EQ(base_->replace_method(did_appear, block), saved);
  EXPECT_EQ(base_->lookup(did_appear), block);

  send(*leaf_->create(), did_appear, true);
  EXPECT_EQ(log, (std::vector<std::string>{"Leaf appeared", "tracked"}));
}

TEST_F(MessageTest, OverrideTestComparesLookupsAgainstTheSuperclass) {
  // A class overrides a selector when its lookup differs from its superclass's.
  const Sel<int()> nobody{"implementedByNobody"};
  const Sel<int()> base_only{"implementedByBase"};
  const Sel<int()> empty_entry{"emptyEntry"};
  base_->add_method(base_only, returning(base_only, 5));
  leaf_->add_method(empty_entry, Imp{});

  struct Case {
    const char* what;
    Class* cls;
    SelId sel;
    bool overrides;
  };
  for (const Case& c : {Case{"implemented by neither", leaf_, nobody, false},
                        Case{"inherited only", leaf_, base_only, false},
                        Case{"own override", sub_, message_value, true},
                        Case{"empty own entry over nothing", leaf_, empty_entry, false}}) {
    EXPECT_EQ(c.cls->lookup(c.sel) != c.cls->superclass()->lookup(c.sel), c.overrides) << c.what;
  }
  Imp copy = sub_->lookup(message_value);
  EXPECT_EQ(copy, sub_->lookup(message_value));
  EXPECT_NE(returning(message_value, 2), returning(message_value, 2));
  EXPECT_EQ(copy.signature(), std::type_index(typeid(int())));
  EXPECT_EQ(Imp{}.signature(), std::type_index(typeid(void)));
}

TEST_F(MessageTest, ClassMethodsAreInheritedAndKeptApartFromInstanceMethods) {
  ASSERT_TRUE(base_->add_class_method(
      shared_name, Imp::make(shared_name, [](Class& self) { return "shared " + std::string(self.name()); })));
  EXPECT_EQ(send(*leaf_, shared_name), "shared Leaf");
  EXPECT_EQ(send_if_responds(*leaf_, shared_name), std::optional<std::string>("shared Leaf"));
  EXPECT_EQ(leaf_->resolve_class(shared_name)->owner, base_);
  EXPECT_TRUE(leaf_->resolve_class(shared_name)->class_side);
  EXPECT_FALSE(leaf_->resolve(shared_name).has_value());
  EXPECT_FALSE(leaf_->create()->responds_to(shared_name));

  const ClassSel<int()> missing{"missingClassMethod"};
  EXPECT_EQ(send_if_responds(*leaf_, missing), std::nullopt);

  EXPECT_FALSE(base_->add_class_method(shared_name, Imp::make(shared_name, [](Class&) { return std::string(); })));
  Imp previous =
      sub_->replace_class_method(shared_name, Imp::make(shared_name, [](Class&) { return std::string("own"); }));
  EXPECT_FALSE(previous);
  EXPECT_EQ(send(*leaf_, shared_name), "own");
  EXPECT_EQ(send(*base_, shared_name), "shared Base");
}

}  // namespace
}  // namespace platform::rt::test
