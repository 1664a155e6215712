#include <gtest/gtest.h>

#include <any>
#include <memory>
#include <string>

#include "runtime_fixture.h"

namespace platform::rt::test {
namespace {

const Sel<std::string()> greet{"greet"};
const Sel<std::string()> hidden{"hidden"};

class AssociationTest : public RuntimeTest {
 protected:
  static inline const char key_a = 0;
  static inline const char key_b = 0;
};

TEST_F(AssociationTest, ValuesAreRetainedUntilReplacedClearedOrTheObjectGoes) {
  Id object = define("Holder").create();
  auto first = std::make_shared<std::string>("first");
  std::weak_ptr<std::string> first_seen = first;
  object->set_associated(&key_a, std::move(first));
  object->set_associated(&key_b, 42);

  EXPECT_FALSE(first_seen.expired());
  EXPECT_EQ(*std::any_cast<std::shared_ptr<std::string>>(object->associated(&key_a)), "first");
  EXPECT_EQ(std::any_cast<int>(object->associated(&key_b)), 42);

  auto second = std::make_shared<std::string>("second");
  std::weak_ptr<std::string> second_seen = second;
  object->set_associated(&key_a, std::move(second));
  EXPECT_TRUE(first_seen.expired());
  EXPECT_FALSE(second_seen.expired());

  object->set_associated(&key_b, std::any{});
  EXPECT_FALSE(object->associated(&key_b).has_value());
  EXPECT_FALSE(object->associated(&key_b).has_value());

  object.reset();
  EXPECT_TRUE(second_seen.expired());
}

TEST_F(AssociationTest, ReleasingAValueMayTouchTheSameObject) {
  // The released value's destructor reads the owner's associations: no self-deadlock.
  Id object = define("Holder").create();
  struct Reader {
    Object* owner;
    ~Reader() { owner->associated(&key_b); }
  };
  object->set_associated(&key_a, std::make_shared<Reader>(Reader{object.get()}));
  object->set_associated(&key_a, std::any{});
  SUCCEED();
}

// Answers "greet" without a table entry and denies "hidden" although it has one.
class Dynamic : public Object {
 public:
  using Object::Object;
  bool responds_to(SelId sel) const override {
    if (sel == greet.id) return true;
    if (sel == hidden.id) return false;
    return Object::responds_to(sel);
  }
};

TEST_F(RuntimeTest, RespondsToIsAskedBySendIfResponds) {
  Class& cls = define("DynamicClass");
  cls.add_method(hidden, Imp::make(hidden, [](Object&) { return std::string("hidden"); }));
  Dynamic object(cls);
  EXPECT_TRUE(object.responds_to(greet));
  EXPECT_FALSE(object.responds_to(hidden));
  EXPECT_TRUE(object.responds_to(sel::description));
  EXPECT_EQ(send_if_responds(object, hidden), std::nullopt);
  EXPECT_EQ(send(object, hidden), "hidden");  // send itself dispatches by the table
}

}  // namespace
}  // namespace platform::rt::test
