#include <string>
#include <vector>

#include "lwp/lwp_test.h"
#include "support/print_capture.h"

namespace kova::test {
namespace {

// What the constructors and destructors of variables v0..v3 did, in order: "+var@slot", "-var@slot".
std::vector<std::string> journal;
int failing_ctor = -1, failing_dtor = -1;

int32_t journaled(char kind, std::uint64_t inst, std::uint64_t var, int failing)
{
    journal.push_back(kind + std::to_string(var) + "@" + std::to_string((inst >> 16) & 0xFFFF));
    return static_cast<int>(var) == failing ? -5 : 0;
}
int32_t ctor(std::uint64_t inst, std::uint64_t var) { return journaled('+', inst, var, failing_ctor); }
int32_t dtor(std::uint64_t inst, std::uint64_t var) { return journaled('-', inst, var, failing_dtor); }

class LwpVarTest : public LwpTest {
protected:
    void configure() override { journal.clear(), failing_ctor = failing_dtor = -1; }
    static std::uint64_t add(std::uint64_t index)  // v<index> in domain 2, initial value 0x100 + index
    {
        static const char *names[] = {"v0", "v1", "v2", "v3"};
        LwpVarCtor c{ctor, index, dtor, index};
        std::uint64_t value = 0x100 + index;
        return LwpVarRegister(names[index], 2, &value, 8, &c, nullptr);
    }
    static std::vector<std::string> events() { return std::exchange(journal, {}); }
    static std::uint64_t value(std::uint64_t inst, std::uint64_t var) { return *static_cast<std::uint64_t *>(LwpVarRaw(inst, var)); }
};

TEST_F(LwpVarTest, IdsInitialValuesAndRefusedRegistrations)
{
    LogCapture log;
    const std::uint32_t four = 0xA1B2C3D4;
    std::uint64_t out = 0, nine[2] = {};
    EXPECT_EQ(LwpVarRegister("first", 1, &four, 4, nullptr, &out), 0x800000u);
    EXPECT_EQ(out, 0x800000u);
    EXPECT_EQ(LwpVarRegister("second", 1, &four, 2, nullptr, nullptr), 0x100800008u);
    std::uint64_t inst = make("vars", 1);
    EXPECT_EQ(value(inst, 0x800000), 0xA1B2C3D4u);
    EXPECT_EQ(value(inst, 0x100800008), 0xC3D4u);
    EXPECT_EQ(LwpVarDef(0x100800008), static_cast<std::uint64_t *>(LwpVarDef(0x800000)) + 1);
    EXPECT_STREQ(LwpVarGetName(0x100800008), "second");
    for (std::uint64_t bad : {0x200800010ul, 0x1800000ul}) EXPECT_STREQ(LwpVarGetName(bad), "Invalid varId");
    EXPECT_EQ(LwpVarRegister("big", 0, nine, 9, nullptr, nullptr) & LwpVarRegister("dom", 3, nine, 8, nullptr, nullptr) &
                  LwpVarRegister(nullptr, 0, nine, 8, nullptr, nullptr), LWP_VAR_ID_INVALID);
    EXPECT_TRUE(log.contains("Register lwp var big fail, var size:9 > 8 is too bigger") &&
                log.contains("Register lwp var name(dom), size(8), domainType(3) invalid."));
    EXPECT_NE(LwpVarRegister("null value", 0, nullptr, 8, nullptr, nullptr), LWP_VAR_ID_INVALID);  // a zero value
    EXPECT_TRUE(log.contains("lwp var memcpy_s failed, domainType(0) ret=150."));
}

TEST_F(LwpVarTest, SlotAddressesAreCheckedAgainstDomainAndCapacity)
{
    LogCapture log;
    std::uint64_t var0 = LwpVarRegister("zero", 0, nullptr, 0, nullptr, nullptr);
    std::uint64_t inst0 = make("i0", 0), inst1 = make("i1", 1);
    LwpCtxAttach(inst0, nullptr);
    EXPECT_EQ(LwpVarRaw(0, var0), LwpVarRaw(inst0, var0));
    EXPECT_EQ(LwpVarRaw(inst1, var0), nullptr);
    EXPECT_TRUE(log.contains(text("Lwp var instId:0x%lx varId:0x0, domainType(1, 0) dismatch.", inst1)));
    for (std::uint64_t bad : {4096ul * 8, 4ul, 3ul << 23}) EXPECT_EQ(LwpVarRaw(inst0, bad), nullptr) << bad;
    EXPECT_EQ(LwpVarRaw(inst0 + (1ull << 32), var0), LwpVarDef(3ull << 23));
    EXPECT_TRUE(log.contains("Invalid lwp var domainType(3)."));
}

class SmallTables : public LwpTest {
    void configure() override { ASSERT_EQ(LwpCfgSetMaxInstNum(2) + LwpCfgSetMaxVarNum(2), 0); }
};

TEST_F(SmallTables, FullDomainsRefuseCreationAndRegistrationAndNamesMayRepeat)
{
    LogCapture log;
    EXPECT_NE(make("a", 1) | make("b", 1), LWP_INST_ID_INVALID);
    EXPECT_EQ(make("c", 1), LWP_INST_ID_INVALID);
    EXPECT_NE(make("c", 0), LWP_INST_ID_INVALID);
    std::uint64_t first = LwpVarRegister("twice", 0, nullptr, 0, nullptr, nullptr);
    EXPECT_EQ(LwpVarRegister("twice", 0, nullptr, 0, nullptr, nullptr), first + (1ull << 32) + 8);
    EXPECT_EQ(LwpVarInfoFindByName(0, "twice")->varId, first);
    EXPECT_EQ(LwpVarRegister("third", 0, nullptr, 0, nullptr, nullptr), LWP_VAR_ID_INVALID);
    EXPECT_TRUE(log.contains("Register lwp var name(third) domainType(0) fail, which has been used up 2/2"));
    EXPECT_EQ(LwpVarInfoFindByName(1, "twice"), nullptr);
    const std::pair<int, int> limits[] = {{0, -1}, {65536, -1}, {-1, -1}, {1, 0}, {65535, 0}};
    for (auto set : {LwpCfgSetMaxInstNum, LwpCfgSetMaxVarNum})
        for (auto [n, result] : limits) EXPECT_EQ(set(n), result);
}

TEST_F(LwpVarTest, ConstructorsReachExistingAndNewInstancesAndDestructorsRunLastFirst)
{
    std::uint64_t a = make("a", 2), b = make("b", 2);
    ASSERT_NE(add(0), LWP_VAR_ID_INVALID);
    EXPECT_EQ(events(), (std::vector<std::string>{"+0@0", "+0@1"}));
    std::uint64_t c = make("c", 2);
    ASSERT_NE(add(1), LWP_VAR_ID_INVALID);
    EXPECT_EQ(events(), (std::vector<std::string>{"+0@2", "+1@0", "+1@1", "+1@2"}));
    EXPECT_EQ(value(c, add(2)), 0x102u);
    for (std::uint64_t id : {a, b, c}) ASSERT_EQ(LwpInstDelete(id, -1), 0);
    EXPECT_EQ(events(), (std::vector<std::string>{"+2@0", "+2@1", "+2@2", "-2@0", "-1@0", "-0@0", "-2@1", "-1@1",
                                                  "-0@1", "-2@2", "-1@2", "-0@2"}));
}

TEST_F(LwpVarTest, AFailingConstructorRollsBackItsStepAndFailsTheCreation)
{
    LogCapture log;
    for (std::uint64_t i = 0; i < 3; ++i) add(i);
    failing_ctor = 2;
    EXPECT_EQ(make("doomed", 2), LWP_INST_ID_INVALID);
    EXPECT_EQ(events(), (std::vector<std::string>{"+0@0", "+1@0", "+2@0", "-1@0", "-0@0"}));
    EXPECT_TRUE(log.contains("Run lwp var:v2 constructor fail:-5") && log.contains("Run lwp var constructor fail, ret:-5"));
    const LwpInstInfo &slot = kova::lwp::inst_table(2).slots.load()[0];
    EXPECT_EQ(slot.refsState + (slot.instId & 0xFFFF), LWP_INST_ID_DEAD);  // free, with a dead id
    failing_ctor = 3;
    std::uint64_t kept = make("kept", 2);
    EXPECT_EQ(add(3), LWP_VAR_ID_INVALID);  // registered all the same, not constructed in `kept`
    EXPECT_EQ(LwpInstInfoFind(kept)->vars.constructed, 3u);
    failing_ctor = -1;
    EXPECT_EQ(LwpVarUpdate(2), 0);
    EXPECT_EQ(LwpInstInfoFind(kept)->vars.constructed, 4u);
    failing_dtor = 1;
    EXPECT_EQ(LwpInstDelete(kept, -1), -5);
    EXPECT_TRUE(log.contains("Stop lwp inst:kept fail ret:-5") && log.contains("Run lwp var:v1 domainType(2) destructor fail:-5"));
    EXPECT_EQ(LwpInstDelete(kept, -1), -1);  // still deleting
}

// A constructor that registers variables (two) must not wait for its own instance.
int inner_registrations = 0;
int32_t registering_ctor(std::uint64_t, std::uint64_t)
{
    static const char *names[] = {"inner0", "inner1"};
    return inner_registrations < 2 && LwpVarRegister(names[inner_registrations++], 0, nullptr, 0, nullptr, nullptr) == LWP_VAR_ID_INVALID;
}

TEST_F(LwpVarTest, AConstructorMayRegisterVariables)
{
    inner_registrations = 0;
    std::uint64_t existing = make("existing", 0);
    LwpVarCtor c{registering_ctor, 0, nullptr, 0};
    ASSERT_NE(LwpVarRegister("outer", 0, nullptr, 0, &c, nullptr), LWP_VAR_ID_INVALID);
    std::uint64_t created = make("created", 0);
    EXPECT_EQ(LwpInstInfoFind(existing)->vars.constructed + LwpInstInfoFind(created)->vars.constructed, 6u);
}

TEST_F(LwpVarTest, ListingsPrintVariablesAndPerInstanceValues)
{
    std::uint64_t one = 1;
    LwpVarRegister("alpha", 0, &one, 8, nullptr, nullptr);
    std::uint64_t id = make("shown", 0);
    printed_text().clear();
    LwpVarShow(capture_print, 0);
    EXPECT_TRUE(printed_text().ends_with(text("%-27s %016lx\n\nlwp var addr(0x)\n%016lx  \n\n", "shown", id, 1ul)));
    printed_text().clear();
    LwpVarShowVarInfo(capture_print, "alpha", "0x0");
    LwpVarShowVarInfo(capture_print, "beta", "2");
    LwpVarShowVarInfo(capture_print, "alpha", "3");
    LwpInstShow(capture_print, 7);
    EXPECT_EQ(printed_text(), text("%-27s %-16s %-12s %-16s\n%-27s %016lx %-12u %016lx\n", "lwp Inst Name", "lwp Inst Id",
                                   "domainType", "var Addr", "shown", id, 0u, 1ul) +
                                  "Invalid varName(beta), domianType(2).\nInvalid domianType(3).\n\ndomain Type(7) invalid\n");
}

}  // namespace
}  // namespace kova::test
