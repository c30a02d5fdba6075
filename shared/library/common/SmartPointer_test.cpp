#include "SmartPointer.h"

#include <gtest/gtest.h>

using namespace Brolix;

namespace {

struct Tracked {
    explicit Tracked(int* deaths) : deaths(deaths) {}
    virtual ~Tracked() { ++*deaths; }
    int* deaths;
};

TEST(SmartPointerTest, NullHolderHasNoCounter) {
    SmartPointer<Tracked> p(nullptr);
    EXPECT_TRUE(p.isNull());
    EXPECT_EQ(p.useCount(), 0);
    p.release();
    p.destroy();
    EXPECT_TRUE(p.isNull());
    EXPECT_EQ(p.get(), nullptr);
}

TEST(SmartPointerTest, LastReleaseDeletesOnce) {
    int deaths = 0;
    {
        SmartPointer<Tracked> a(new Tracked(&deaths));
        SmartPointer<Tracked> b(a);
        SmartPointer<Tracked> c;
        c = b;
        EXPECT_EQ(a.useCount(), 3);
        a.release();
        EXPECT_TRUE(a.isNull());
        EXPECT_FALSE(b.isNull());
        EXPECT_EQ(b.useCount(), 2);
        EXPECT_EQ(deaths, 0);
    }
    EXPECT_EQ(deaths, 1);
}

TEST(SmartPointerTest, DestroyWithOtherHolders) {
    int deaths = 0;
    SmartPointer<Tracked> a(new Tracked(&deaths));
    SmartPointer<Tracked> b(a);
    SmartPointer<Tracked> c(a);
    a.destroy();
    EXPECT_EQ(deaths, 1);
    EXPECT_TRUE(a.isNull());
    EXPECT_EQ(b.useCount(), -2);
    EXPECT_TRUE(b.isNull());
    EXPECT_TRUE(c.isNull());

    SmartPointer<Tracked> d(b);  // copy of a destroyed object
    EXPECT_EQ(b.useCount(), -3);
    EXPECT_TRUE(d.isNull());

    b.release();
    d.release();
    EXPECT_EQ(c.useCount(), -1);
    c.release();  // frees the counter; the sanitizer build catches a leak or double free
    EXPECT_EQ(deaths, 1);
}

TEST(SmartPointerTest, DestroyOnSoleHolderIsRelease) {
    int deaths = 0;
    SmartPointer<Tracked> a(new Tracked(&deaths));
    a.destroy();
    EXPECT_EQ(deaths, 1);
    EXPECT_TRUE(a.isNull());
}

TEST(SmartPointerTest, DestroyOnDestroyedHolderGivesItsShareBack) {
    int deaths = 0;
    SmartPointer<Tracked> a(new Tracked(&deaths));
    SmartPointer<Tracked> b(a);
    SmartPointer<Tracked> c(a);
    a.destroy();
    b.destroy();  // already destroyed: only gives its share back
    EXPECT_EQ(c.useCount(), -1);
    c.destroy();  // last share: the counter is freed
    EXPECT_EQ(deaths, 1);
}

TEST(SmartPointerTest, SelfAssignmentKeepsCount) {
    int deaths = 0;
    SmartPointer<Tracked> a(new Tracked(&deaths));
    SmartPointer<Tracked>& alias = a;
    a = alias;
    EXPECT_EQ(a.useCount(), 1);
    EXPECT_FALSE(a.isNull());
}

TEST(SmartPointerTest, AssignmentReleasesPreviousObject) {
    int deaths = 0;
    SmartPointer<Tracked> a(new Tracked(&deaths));
    SmartPointer<Tracked> b(new Tracked(&deaths));
    a = b;
    EXPECT_EQ(deaths, 1);
    EXPECT_EQ(b.useCount(), 2);
    EXPECT_TRUE(a.equals(b));
}

TEST(SmartPointerTest, EqualsComparesAddresses) {
    int deaths = 0;
    SmartPointer<Tracked> a(new Tracked(&deaths));
    SmartPointer<Tracked> b(a);
    SmartPointer<Tracked> other(new Tracked(&deaths));
    SmartPointer<Tracked> empty1, empty2;
    EXPECT_TRUE(a.equals(b));
    EXPECT_FALSE(a.equals(other));
    EXPECT_TRUE(empty1.equals(empty2));
    EXPECT_FALSE(empty1.equals(a));
}

}  // namespace
