// Tests of the registry accessor cRegistry against the in-memory FakeRegistry.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <new>
#include <ostream>
#include <string>
#include <vector>

#include "registry/cregistry.h"
#include "registry/machines/machine.h"
#include "registry/text.h"
#include "registry/value.h"
#include "fake_registry.h"

namespace qv::reg {
namespace {

using test::Call;
using test::FakeRegistry;
using test::StoredValue;
using test::bytes;
using test::dword;
using test::sz;
using Bytes = std::vector<uint8_t>;
using namespace std::string_literals;

constexpr int32_t HKCU = HKEY_CURRENT_USER;
constexpr int32_t HKLM = HKEY_LOCAL_MACHINE;
constexpr int32_t HKCR = HKEY_CLASSES_ROOT;

// Every test ends with every key it opened closed exactly once.
class Accessor : public ::testing::Test {
protected:
    explicit Accessor(FakeRegistry::Order order = FakeRegistry::Order::Sorted) : store(order), reg(store) {}

    void TearDown() override {
        EXPECT_EQ(store.openHandles(), 0u) << "a key was left open";
        EXPECT_EQ(store.badCloses(), 0) << "a key was closed that was not open";
    }

    void at(int32_t root, std::string section, std::string value = {}) {
        reg.setClassKey(root);
        reg.setSectionKey(std::move(section));
        reg.setValueKey(std::move(value));
    }
    std::optional<StoredValue> stored(int32_t root, std::string_view path, std::string_view name) {
        return store.get(root, path, name);
    }
    void write(int32_t type, const RegVariant& v) {
        reg.setValueType(type);
        reg.setValue(v);
    }

    FakeRegistry store;
    cRegistry reg;
};

class AccessorInsertionOrder : public Accessor {
protected:
    AccessorInsertionOrder() : Accessor(FakeRegistry::Order::Insertion) {}
};

std::string source() { return executableName() + ".cRegistry"; }

// ---- properties --------------------------------------------------------------------------------

TEST_F(Accessor, FreshObjectStartsEmpty) {
    EXPECT_EQ(reg.ClassKey(), 0);
    EXPECT_EQ(reg.SectionKey(), "");
    EXPECT_EQ(reg.ValueKey(), "");
    EXPECT_EQ(reg.ValueType(), 0);
    EXPECT_TRUE(isEmpty(reg.Default()));
}

TEST_F(Accessor, PropertiesKeepWhatIsSet) {
    at(HKCU, "Control Panel\\Desktop", "MenuShowDelay");
    reg.setValueType(4);
    reg.setDefault(int32_t{7});
    EXPECT_EQ(reg.ClassKey(), HKCU);
    EXPECT_EQ(reg.SectionKey(), "Control Panel\\Desktop");
    EXPECT_EQ(reg.ValueKey(), "MenuShowDelay");
    EXPECT_EQ(reg.ValueType(), 4);
    EXPECT_EQ(reg.Default(), RegVariant(int32_t{7}));
    EXPECT_TRUE(store.log().empty()) << "setting properties touches no registry";
}

// ---- reading -----------------------------------------------------------------------------------

TEST_F(Accessor, ReadMissingValueReturnsDefaultAndKeepsValueType) {
    store.addKey(HKCU, "Software\\Q");
    at(HKCU, "Software\\Q", "Nope");
    reg.setValueType(3);
    EXPECT_TRUE(isEmpty(reg.Value()));
    EXPECT_EQ(reg.ValueType(), 3);
}

TEST_F(Accessor, ReadFromMissingKeyReturnsDefaultAndKeepsValueType) {
    at(HKCU, "Software\\Missing\\Deeper", "X");
    reg.setValueType(1);
    EXPECT_TRUE(isEmpty(reg.Value()));
    EXPECT_EQ(reg.ValueType(), 1);
    EXPECT_FALSE(store.hasKey(HKCU, "Software\\Missing")) << "a read creates nothing";
}

TEST_F(Accessor, ReadMissingReturnsTheDefaultThatWasSet) {
    at(HKCU, "Software\\Missing", "X");
    reg.setDefault("fallback"s);
    EXPECT_EQ(reg.Value(), RegVariant("fallback"s));
    reg.setDefault(Bytes{1, 2});
    EXPECT_EQ(reg.Value(), RegVariant(Bytes{1, 2}));
}

TEST_F(Accessor, ReadWithInvalidRootReturnsDefault) {
    store.putDword(HKCU, "K", "V", 1);
    at(0, "K", "V");
    EXPECT_TRUE(isEmpty(reg.Value()));
    EXPECT_EQ(reg.ValueType(), 0);
}

TEST_F(Accessor, ReadCallsOpenQueryQueryCloseInOrder) {
    store.putDword(HKCU, "K", "V", 400);
    at(HKCU, "K", "V");
    reg.Value();
    EXPECT_EQ(store.calls(), (std::vector<Call>{Call::OpenKey, Call::QueryValue, Call::QueryValue,
                                                Call::CloseKey}));
    EXPECT_EQ(store.log()[0].target, "K");
    EXPECT_EQ(store.log()[1].target, "V");
}

TEST_F(Accessor, ReadClosesTheKeyWhenTheValueIsMissing) {
    store.addKey(HKCU, "K");
    at(HKCU, "K", "V");
    reg.Value();
    EXPECT_EQ(store.count(Call::CloseKey), 1);
}

TEST_F(Accessor, ReadWhoseDataQueryFailsReturnsDefaultButHasSetTheType) {
    store.putDword(HKCU, "K", "V", 400);
    store.failNth(Call::QueryValue, 2, ERROR_ACCESS_DENIED);
    at(HKCU, "K", "V");
    EXPECT_TRUE(isEmpty(reg.Value()));
    EXPECT_EQ(reg.ValueType(), 4);  // step 3 came before the data
}

TEST_F(Accessor, ReadTypeQueryAnsweringMoreDataStillReads) {
    store.putString(HKCU, "K", "V", "abc");
    // The size query of Windows (a 0-byte buffer) answers ERROR_MORE_DATA with the type filled in.
    store.inject({Call::QueryValue, ERROR_MORE_DATA, 1, std::nullopt, false, true});
    at(HKCU, "K", "V");
    reg.setValueType(1);
    EXPECT_EQ(reg.Value(), RegVariant("abc"s));
}

TEST_F(Accessor, ReadNamesAreCaseInsensitive) {
    store.putString(HKCU, "Control Panel\\Desktop", "MenuShowDelay", "400");
    at(HKCU, "control panel\\DESKTOP", "menushowdelay");
    EXPECT_EQ(reg.Value(), RegVariant("400"s));
}

TEST_F(Accessor, ReadDefaultValueOfAKey) {
    store.putString(HKCR, ".txt", "", "txtfile");
    at(HKCR, ".txt", "");
    EXPECT_EQ(reg.Value(), RegVariant("txtfile"s));
}

// REG_DWORD and REG_DWORD_BIG_ENDIAN

TEST_F(Accessor, ReadDword400) {
    store.putDword(HKCU, "K", "V", 400);
    at(HKCU, "K", "V");
    EXPECT_EQ(reg.Value(), RegVariant(int32_t{400}));
    EXPECT_EQ(reg.ValueType(), 4);
}

TEST_F(Accessor, ReadDwordIsSigned) {
    store.putDword(HKCU, "K", "V", 0xFFFFFFFFu);
    store.putDword(HKCU, "K", "W", 0x80000000u);
    at(HKCU, "K", "V");
    EXPECT_EQ(reg.Value(), RegVariant(int32_t{-1}));
    reg.setValueKey("W");
    EXPECT_EQ(reg.Value(), RegVariant(INT32_MIN));
}

TEST_F(Accessor, ReadBigEndianDword) {
    store.put(HKCU, "K", "V", REG_DWORD_BIG_ENDIAN, bytes({0x00, 0x00, 0x01, 0x90}));
    at(HKCU, "K", "V");
    EXPECT_EQ(reg.Value(), RegVariant(int32_t{400}));
    EXPECT_EQ(reg.ValueType(), 5);
}

TEST_F(Accessor, ReadDwordOfOtherSizesStaysInsideTheData) {
    store.put(HKCU, "K", "Short", REG_DWORD, bytes({0x90, 0x01}));
    store.put(HKCU, "K", "Empty", REG_DWORD, "");
    store.put(HKCU, "K", "Long", REG_DWORD, bytes({0x90, 0x01, 0, 0, 0xFF, 0xFF}));
    store.put(HKCU, "K", "ShortBE", REG_DWORD_BIG_ENDIAN, bytes({0x01}));
    at(HKCU, "K", "Short");
    EXPECT_EQ(reg.Value(), RegVariant(int32_t{400}));
    reg.setValueKey("Empty");
    EXPECT_EQ(reg.Value(), RegVariant(int32_t{0}));
    EXPECT_EQ(reg.ValueType(), 4);
    reg.setValueKey("Long");
    EXPECT_EQ(reg.Value(), RegVariant(int32_t{400}));
    reg.setValueKey("ShortBE");  // bytes 01 00 00 00 read, then swapped
    EXPECT_EQ(reg.Value(), RegVariant(int32_t{0x01000000}));
}

// Other types: the stored bytes exactly

TEST_F(Accessor, ReadBinaryAndWriteItBackUnchanged) {
    store.put(HKCU, "K", "V", REG_BINARY, bytes({0x95, 0, 0, 0}));
    at(HKCU, "K", "V");
    const RegVariant v = reg.Value();
    EXPECT_EQ(v, RegVariant(Bytes{149, 0, 0, 0}));
    EXPECT_EQ(reg.ValueType(), 3);
    reg.setValueKey("Copy");
    reg.setValue(v);  // ValueType is REG_BINARY from the read
    EXPECT_EQ(stored(HKCU, "K", "Copy"), (StoredValue{REG_BINARY, bytes({0x95, 0, 0, 0})}));
}

TEST_F(Accessor, ReadEmptyBinaryGivesEmptyArray) {
    store.put(HKCU, "K", "V", REG_BINARY, "");
    at(HKCU, "K", "V");
    EXPECT_EQ(reg.Value(), RegVariant(Bytes{}));
}

TEST_F(Accessor, ReadOtherTypesAsBytesAndSetTheirType) {
    const std::string data = bytes({0, 1, 0xFE, 0xFF, 0x80});
    for (uint32_t type : {REG_NONE, REG_LINK, REG_QWORD, 8u, 99u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(type);
        store.put(HKCU, "K", "V", type, data);
        at(HKCU, "K", "V");
        reg.setValueType(1);
        EXPECT_EQ(reg.Value(), RegVariant(Bytes{0, 1, 0xFE, 0xFF, 0x80}));
        EXPECT_EQ(reg.ValueType(), static_cast<int32_t>(type));
    }
}

// REG_SZ and REG_MULTI_SZ

TEST_F(Accessor, ReadStringDropsItsTerminatingNul) {
    store.putString(HKCU, "K", "One", "1");
    at(HKCU, "K", "One");
    EXPECT_EQ(stored(HKCU, "K", "One")->data.size(), 4u);  // "1" and NUL, in UTF-16LE
    EXPECT_EQ(reg.Value(), RegVariant("1"s));
    EXPECT_EQ(reg.ValueType(), 1);
}

TEST_F(Accessor, ReadEmptyStrings) {
    store.putString(HKCU, "K", "Nul", "");       // a NUL only
    store.put(HKCU, "K", "Zero", REG_SZ, "");    // no bytes at all
    at(HKCU, "K", "Nul");
    EXPECT_EQ(reg.Value(), RegVariant(""s));
    reg.setValueKey("Zero");
    EXPECT_EQ(reg.Value(), RegVariant(""s));
}

TEST_F(Accessor, ReadStringWithoutNulKeepsItsLastCharacter) {
    store.put(HKCU, "K", "V", REG_SZ, utf16ToBytes(u"abc"));
    at(HKCU, "K", "V");
    EXPECT_EQ(reg.Value(), RegVariant("abc"s));
    store.put(HKCU, "K", "V", REG_SZ, utf16ToBytes(u"x"));
    EXPECT_EQ(reg.Value(), RegVariant("x"s));
}

TEST_F(Accessor, ReadStringDropsOnlyOneNul) {
    store.put(HKCU, "K", "V", REG_SZ, utf16ToBytes(u"ab\0\0"s));
    at(HKCU, "K", "V");
    EXPECT_EQ(reg.Value(), RegVariant("ab\0"s));
}

TEST_F(Accessor, ReadStringWithOddByteCount) {
    store.put(HKCU, "K", "V", REG_SZ, utf16ToBytes(u"ab") + "c");  // a last half unit: 'c'
    at(HKCU, "K", "V");
    EXPECT_EQ(reg.Value(), RegVariant("abc"s));
}

TEST_F(Accessor, ReadMultiStringKeepsItsSeparators) {
    store.put(HKCU, "K", "V", REG_MULTI_SZ, utf16ToBytes(u"a\0bc\0\0"s));
    at(HKCU, "K", "V");
    EXPECT_EQ(reg.Value(), RegVariant("a\0bc\0"s));
    EXPECT_EQ(reg.ValueType(), 7);
}

TEST_F(Accessor, ReadNonAsciiTextLosesNothing) {
    const std::string text = "Grüße, Ελλάδα, 日本語, 😀";
    store.putString(HKCU, "Software\\Ünïcödé", "Näme", text);
    at(HKCU, "Software\\ünïcödé", "NÄME");
    EXPECT_EQ(reg.Value(), RegVariant(text));
}

// REG_EXPAND_SZ

TEST_F(Accessor, ReadExpandStringSubstitutesWindir) {
    store.putString(HKCU, "K", "V", "%windir%\\x", REG_EXPAND_SZ);
    at(HKCU, "K", "V");
    EXPECT_EQ(reg.Value(), RegVariant("C:\\WINDOWS\\x"s));
    EXPECT_EQ(reg.ValueType(), 2);
}

TEST_F(Accessor, ReadExpandStringNamesAreCaseInsensitive) {
    store.putString(HKCU, "K", "V", "%WINDIR%;%systemroot%;%SystemRoot%", REG_EXPAND_SZ);
    at(HKCU, "K", "V");
    EXPECT_EQ(reg.Value(), RegVariant("C:\\WINDOWS;C:\\WINDOWS;C:\\WINDOWS"s));
}

TEST_F(Accessor, ReadExpandStringWithoutNulKeepsItsLastCharacter) {
    store.put(HKCU, "K", "V", REG_EXPAND_SZ, utf16ToBytes(u"%windir%x"));
    at(HKCU, "K", "V");
    EXPECT_EQ(reg.Value(), RegVariant("C:\\WINDOWSx"s));
}

// ExpandEnvironmentString

TEST_F(Accessor, ExpandKnownAndUnknownNames) {
    store.setEnvironment("TEMP", "C:\\TMP");
    store.setEnvironment("Ünï", "ü");
    EXPECT_EQ(reg.ExpandEnvironmentString("%temp%\\a"), "C:\\TMP\\a");
    EXPECT_EQ(reg.ExpandEnvironmentString("%ÜNÏ%"), "ü");
    EXPECT_EQ(reg.ExpandEnvironmentString("%NoSuchVar%\\a"), "%NoSuchVar%\\a");
    EXPECT_EQ(reg.ExpandEnvironmentString("%NoSuch%TEMP%"), "%NoSuch%TEMP%");
    EXPECT_EQ(reg.ExpandEnvironmentString("%NoSuch%%TEMP%"), "%NoSuch%C:\\TMP");
    EXPECT_EQ(reg.ExpandEnvironmentString("a%%b"), "a%%b");
    EXPECT_EQ(reg.ExpandEnvironmentString("100%"), "100%");
    EXPECT_EQ(reg.ExpandEnvironmentString("%"), "%");
    EXPECT_EQ(reg.ExpandEnvironmentString("%temp%%windir%"), "C:\\TMPC:\\WINDOWS");
    EXPECT_EQ(reg.ExpandEnvironmentString("50% of %temp%"), "50% of %temp%")
        << "\"% of %\" is the first reference: unknown, so it stays and the scan goes on after it";
    EXPECT_EQ(reg.ExpandEnvironmentString(""), "");
    EXPECT_EQ(reg.ExpandEnvironmentString("plain"), "plain");
}

TEST_F(Accessor, ExpandEndsAtTheFirstNul) {
    EXPECT_EQ(reg.ExpandEnvironmentString("%windir%\0rest"s), "C:\\WINDOWS");
}

TEST_F(Accessor, ExpandedValueIsNotExpandedAgain) {
    store.setEnvironment("A", "%windir%");
    EXPECT_EQ(reg.ExpandEnvironmentString("%A%"), "%windir%");
}

// SwapEndian

TEST(SwapEndian, ReversesTheFourBytes) {
    EXPECT_EQ(cRegistry::SwapEndian(0x12345678), 0x78563412);
    EXPECT_EQ(cRegistry::SwapEndian(0x90010000), 400);
    EXPECT_EQ(cRegistry::SwapEndian(400), static_cast<int32_t>(0x90010000u));
    EXPECT_EQ(cRegistry::SwapEndian(-1), -1);
    EXPECT_EQ(cRegistry::SwapEndian(0), 0);
    EXPECT_EQ(cRegistry::SwapEndian(0x000000FF), static_cast<int32_t>(0xFF000000u));
    for (int32_t v : {1, -2, 123456789, INT32_MIN, INT32_MAX})
        EXPECT_EQ(cRegistry::SwapEndian(cRegistry::SwapEndian(v)), v);
}

// ---- writing -----------------------------------------------------------------------------------

TEST_F(Accessor, WriteStringStoresUtf16WithOneNul) {
    at(HKCU, "Control Panel\\Desktop\\WindowMetrics", "MinAnimate");
    write(1, "1"s);
    EXPECT_EQ(stored(HKCU, "Control Panel\\Desktop\\WindowMetrics", "MinAnimate"),
              (StoredValue{REG_SZ, bytes({'1', 0, 0, 0})}));
}

TEST_F(Accessor, WriteCallsCreateSetCloseInOrder) {
    at(HKCU, "K", "V");
    write(1, "x"s);
    EXPECT_EQ(store.calls(), (std::vector<Call>{Call::CreateKey, Call::SetValue, Call::CloseKey}));
}

TEST_F(Accessor, WriteDoesNotChangeValueType) {
    at(HKCU, "K", "V");
    write(1, "%windir%\\x"s);  // stored as REG_EXPAND_SZ
    EXPECT_EQ(reg.ValueType(), 1);
    EXPECT_EQ(stored(HKCU, "K", "V")->type, REG_EXPAND_SZ);
}

TEST_F(Accessor, WriteCreatesEveryMissingKeyOnTheWay) {
    at(HKCU, "Software\\A\\B\\C", "V");
    write(1, "x"s);
    EXPECT_TRUE(store.hasKey(HKCU, "Software\\A"));
    EXPECT_TRUE(store.hasKey(HKCU, "Software\\A\\B"));
    EXPECT_EQ(stored(HKCU, "Software\\A\\B\\C", "V"), (StoredValue{REG_SZ, sz("x")}));
}

TEST_F(Accessor, WriteToTheDefaultValue) {
    at(HKCR, ".qv", "");
    write(1, "qvfile"s);
    EXPECT_EQ(stored(HKLM, "Software\\Classes\\.qv", ""), (StoredValue{REG_SZ, sz("qvfile")}));
}

TEST_F(Accessor, WriteReplacesKeepingTheNameCase) {
    store.putString(HKCU, "K", "MenuShowDelay", "1");
    at(HKCU, "k", "MENUSHOWDELAY");
    write(1, "400"s);
    EXPECT_EQ(store.valueNames(HKCU, "K"), std::vector<std::string>{"MenuShowDelay"});
    EXPECT_EQ(stored(HKCU, "K", "MenuShowDelay"), (StoredValue{REG_SZ, sz("400")}));
}

struct PercentCase {
    const char* name;
    const char* text;
    int32_t valueType;
    uint32_t stored;
};
void PrintTo(const PercentCase& c, std::ostream* os) { *os << c.name; }

class PercentRule : public Accessor, public ::testing::WithParamInterface<PercentCase> {};

TEST_P(PercentRule, PicksTheStoredType) {
    const PercentCase& c = GetParam();
    at(HKCU, "K", "V");
    write(c.valueType, std::string(c.text));
    EXPECT_EQ(stored(HKCU, "K", "V"), (StoredValue{c.stored, sz(c.text)})) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Accessor, PercentRule,
    ::testing::Values(PercentCase{"NoPercentAsExpand", "C:\\x", 2, REG_SZ},
                      PercentCase{"WindirAsSz", "%windir%\\x", 1, REG_EXPAND_SZ},
                      PercentCase{"WindirAsExpand", "%windir%\\x", 2, REG_EXPAND_SZ},
                      PercentCase{"TwoAdjacentAsSz", "%%", 1, REG_SZ},
                      PercentCase{"TwoAdjacentAsExpand", "%%", 2, REG_SZ},
                      PercentCase{"TrailingOne", "a%", 2, REG_SZ},
                      PercentCase{"LoneOne", "%", 1, REG_SZ},
                      PercentCase{"Empty", "", 2, REG_SZ},
                      PercentCase{"OneBetween", "%a%", 1, REG_EXPAND_SZ},
                      PercentCase{"AdjacentInside", "a%%b", 1, REG_SZ},
                      PercentCase{"ThirdIsFarEnough", "%%a%", 1, REG_EXPAND_SZ},
                      PercentCase{"ThreeAdjacent", "%%%", 1, REG_EXPAND_SZ},
                      PercentCase{"TwoPercentages", "50% off, 20% more", 1, REG_EXPAND_SZ},
                      PercentCase{"MultiByteBetween", "%é%", 1, REG_EXPAND_SZ},
                      PercentCase{"OpenCommand", "C:\\x.exe \"%1\"", 1, REG_SZ}),
    [](const ::testing::TestParamInfo<PercentCase>& info) { return std::string(info.param.name); });

TEST_F(Accessor, WriteNumbersAndEmptyAsText) {
    at(HKCU, "K", "L");
    write(1, int32_t{-2147483647});
    EXPECT_EQ(stored(HKCU, "K", "L"), (StoredValue{REG_SZ, sz("-2147483647")}));
    reg.setValueKey("I");
    write(1, int16_t{400});
    EXPECT_EQ(stored(HKCU, "K", "I"), (StoredValue{REG_SZ, sz("400")}));
    reg.setValueKey("E");
    write(2, RegVariant{});
    EXPECT_EQ(stored(HKCU, "K", "E"), (StoredValue{REG_SZ, bytes({0, 0})}));
}

TEST_F(Accessor, WriteByteArrayAsStringStoresItsHexText) {
    at(HKCU, "K", "V");
    write(1, Bytes{0x95, 0x00, 0xAB});
    EXPECT_EQ(stored(HKCU, "K", "V"), (StoredValue{REG_SZ, sz("95 00 AB")}));
}

TEST_F(Accessor, WriteNonAsciiTextLosesNothing) {
    const std::string text = "Grüße, Ελλάδα, 日本語, 😀";
    at(HKCU, "Software\\Ünïcödé", "Näme");
    write(1, text);
    EXPECT_EQ(stored(HKCU, "Software\\Ünïcödé", "Näme"),
              (StoredValue{REG_SZ, utf16ToBytes(u"Grüße, Ελλάδα, 日本語, 😀\0"s)}));
    EXPECT_EQ(reg.Value(), RegVariant(text));
}

TEST_F(Accessor, WriteKeepsEmbeddedNuls) {
    at(HKCU, "K", "V");
    write(1, "a\0b"s);
    EXPECT_EQ(stored(HKCU, "K", "V"), (StoredValue{REG_SZ, utf16ToBytes(u"a\0b\0"s)}));
}

TEST_F(Accessor, ReadAndWriteBackAStringRoundTrips) {
    for (const std::string& text : {"1"s, ""s, "C:\\Program Files\\x.exe"s, "ä😀"s}) {
        store.putString(HKCU, "K", "V", text);
        at(HKCU, "K", "V");
        reg.setValueType(0);
        const RegVariant v = reg.Value();
        reg.setValue(v);
        EXPECT_EQ(stored(HKCU, "K", "V"), (StoredValue{REG_SZ, sz(text)})) << text;
    }
}

// REG_BINARY

TEST_F(Accessor, WriteBinaryStoresTheBytes) {
    at(HKCU, "K", "V");
    write(3, Bytes{0x01, 0x02, 0xFF});
    EXPECT_EQ(stored(HKCU, "K", "V"), (StoredValue{REG_BINARY, bytes({1, 2, 0xFF})}));
    write(3, Bytes{});
    EXPECT_EQ(stored(HKCU, "K", "V"), (StoredValue{REG_BINARY, ""}));
}

TEST_F(Accessor, WriteBinaryOfANonArrayRaises26001WithoutSourceOrDescription) {
    store.putString(HKCU, "K", "V", "old");
    at(HKCU, "K", "V");
    for (const RegVariant& v : {RegVariant("x"s), RegVariant(int32_t{1}), RegVariant(int16_t{1}),
                                RegVariant{}}) {
        reg.setValueType(3);
        try {
            reg.setValue(v);
            ADD_FAILURE() << "no error raised";
        } catch (const RegError& e) {
            EXPECT_EQ(e.number(), 26001);
            EXPECT_EQ(e.source(), "");
            EXPECT_EQ(e.description(), "");
        }
    }
    EXPECT_EQ(store.count(Call::SetValue), 0);
    EXPECT_EQ(stored(HKCU, "K", "V"), (StoredValue{REG_SZ, sz("old")}));
}

// REG_DWORD and REG_DWORD_BIG_ENDIAN

TEST_F(Accessor, WriteIntegersAsLittleEndianDword) {
    at(HKCU, "K", "V");
    write(4, int32_t{400});
    EXPECT_EQ(stored(HKCU, "K", "V"), (StoredValue{REG_DWORD, bytes({0x90, 0x01, 0, 0})}));
    write(4, int16_t{400});
    EXPECT_EQ(stored(HKCU, "K", "V"), (StoredValue{REG_DWORD, bytes({0x90, 0x01, 0, 0})}));
    write(4, int16_t{-1});  // sign-extended
    EXPECT_EQ(stored(HKCU, "K", "V"), (StoredValue{REG_DWORD, dword(0xFFFFFFFFu)}));
    write(4, INT32_MIN);
    EXPECT_EQ(stored(HKCU, "K", "V"), (StoredValue{REG_DWORD, dword(0x80000000u)}));
}

TEST_F(Accessor, WriteWithBigEndianTypeStoresLittleEndianDword) {
    at(HKCU, "K", "V");
    write(5, int32_t{400});
    EXPECT_EQ(stored(HKCU, "K", "V"), (StoredValue{REG_DWORD, dword(400)}));
}

TEST_F(Accessor, WriteNonIntegerAsDwordWritesNothingAndRaisesNothing) {
    store.putDword(HKCU, "K", "V", 1);
    at(HKCU, "K", "V");
    for (const RegVariant& v : {RegVariant("400"s), RegVariant(Bytes{1, 2, 3, 4}), RegVariant{}}) {
        EXPECT_NO_THROW(write(4, v));
        EXPECT_NO_THROW(write(5, v));
    }
    EXPECT_EQ(store.count(Call::SetValue), 0);
    EXPECT_EQ(stored(HKCU, "K", "V"), (StoredValue{REG_DWORD, dword(1)}));
}

TEST_F(Accessor, WriteNonIntegerAsDwordStillCreatesTheKey) {
    at(HKCU, "New\\Key", "V");
    write(4, "400"s);
    EXPECT_TRUE(store.hasKey(HKCU, "New\\Key"));
    EXPECT_FALSE(store.hasValue(HKCU, "New\\Key", "V"));
}

// Unsupported types, and the type carried over from reads

TEST_F(Accessor, FreshAccessorWritesNothingAndRaisesWriteFailed) {
    at(HKCU, "Control Panel\\Desktop", "MenuShowDelay");
    try {
        reg.setValue("400"s);
        FAIL() << "no error raised";
    } catch (const RegError& e) {
        EXPECT_EQ(e.number(), static_cast<int32_t>(0x800469A9u));
        EXPECT_EQ(e.number(), -2147194455);
        EXPECT_EQ(e.source(), source());
        EXPECT_EQ(e.description(),
                  "Failed to set registry value Key: '-2147483647',Section: 'Control Panel\\Desktop',"
                  "Key: 'MenuShowDelay' to value: '400'");
    }
    EXPECT_EQ(store.count(Call::SetValue), 0);
    EXPECT_FALSE(store.hasValue(HKCU, "Control Panel\\Desktop", "MenuShowDelay"));
}

TEST_F(Accessor, WriteWithOtherTypesRaisesWriteFailed) {
    at(HKCU, "K", "V");
    for (int32_t type : {0, 6, 7, 11, -1, 1000}) {
        reg.setValueType(type);
        EXPECT_THROW(
            {
                try {
                    reg.setValue("x"s);
                } catch (const RegError& e) {
                    EXPECT_EQ(e.number(), kErrWriteFailed);
                    throw;
                }
            },
            RegError)
            << type;
    }
    EXPECT_EQ(store.count(Call::SetValue), 0);
    EXPECT_FALSE(store.hasValue(HKCU, "K", "V"));
}

TEST_F(Accessor, WriteAfterReadUsesTheTypeJustRead) {
    store.putDword(HKCU, "K", "D", 1);
    store.putString(HKCU, "K", "S", "1");
    at(HKCU, "K", "D");
    reg.Value();
    reg.setValue(int32_t{400});
    EXPECT_EQ(stored(HKCU, "K", "D"), (StoredValue{REG_DWORD, dword(400)}));
    reg.setValueKey("S");
    reg.Value();
    reg.setValue(int32_t{400});
    EXPECT_EQ(stored(HKCU, "K", "S"), (StoredValue{REG_SZ, sz("400")}));
}

TEST_F(Accessor, WriteAfterReadingAMultiStringRaises) {
    store.put(HKCU, "K", "M", REG_MULTI_SZ, utf16ToBytes(u"a\0\0"s));
    at(HKCU, "K", "M");
    const RegVariant v = reg.Value();
    EXPECT_THROW(reg.setValue(v), RegError);
    EXPECT_EQ(stored(HKCU, "K", "M"), (StoredValue{REG_MULTI_SZ, utf16ToBytes(u"a\0\0"s)}));
}

// Write failures

TEST_F(Accessor, WriteWhenTheKeyCannotBeCreatedRaises26001) {
    store.failAlways(Call::CreateKey, ERROR_ACCESS_DENIED);
    at(HKCU, "Control Panel\\Desktop", "MenuShowDelay");
    reg.setValueType(1);
    try {
        reg.setValue("400"s);
        FAIL() << "no error raised";
    } catch (const RegError& e) {
        EXPECT_EQ(e.number(), 26001);
        EXPECT_EQ(e.source(), source());
        EXPECT_EQ(e.description(),
                  "Failed to set registry value Key: '-2147483647',Section: 'Control Panel\\Desktop',"
                  "Key: 'MenuShowDelay' to value: '400'");
        EXPECT_NE(std::string(e.what()).find("MenuShowDelay"), std::string::npos);
    }
    EXPECT_EQ(store.count(Call::SetValue), 0);
    EXPECT_EQ(store.count(Call::CloseKey), 0);  // nothing was opened
}

TEST_F(Accessor, WriteWithInvalidRootRaises26001) {
    at(0, "K", "V");
    reg.setValueType(4);
    try {
        reg.setValue(int32_t{5});
        FAIL();
    } catch (const RegError& e) {
        EXPECT_EQ(e.number(), kErrSetValue);
        EXPECT_EQ(e.description(),
                  "Failed to set registry value Key: '0',Section: 'K',Key: 'V' to value: '5'");
    }
}

TEST_F(Accessor, WriteErrorDescriptionsShowTheValueAsText) {
    store.failAlways(Call::CreateKey);
    at(HKLM, "S", "V");
    reg.setValueType(3);
    auto description = [&](const RegVariant& v) {
        try {
            reg.setValue(v);
        } catch (const RegError& e) {
            return e.description();
        }
        return "no error"s;
    };
    EXPECT_EQ(description(Bytes{0x95, 0, 0x0A}),
              "Failed to set registry value Key: '-2147483646',Section: 'S',Key: 'V' to value: '95 00 0A'");
    EXPECT_EQ(description(int16_t{-3}),
              "Failed to set registry value Key: '-2147483646',Section: 'S',Key: 'V' to value: '-3'");
    EXPECT_EQ(description(RegVariant{}),
              "Failed to set registry value Key: '-2147483646',Section: 'S',Key: 'V' to value: ''");
}

TEST_F(Accessor, WriteWhenTheStoreRefusesTheValueRaisesWriteFailedAndClosesTheKey) {
    store.failNth(Call::SetValue, 1, ERROR_ACCESS_DENIED);
    at(HKCU, "Control Panel\\Desktop", "MenuShowDelay");
    reg.setValueType(1);
    try {
        reg.setValue("400"s);
        FAIL() << "no error raised";
    } catch (const RegError& e) {
        EXPECT_EQ(e.number(), kErrWriteFailed);
        EXPECT_EQ(e.source(), source());
        EXPECT_EQ(e.description(),
                  "Failed to set registry value Key: '-2147483647',Section: 'Control Panel\\Desktop',"
                  "Key: 'MenuShowDelay' to value: '400'");
    }
    EXPECT_EQ(store.calls(), (std::vector<Call>{Call::CreateKey, Call::SetValue, Call::CloseKey}));
    // Only the first setValue was refused.
    reg.setValue("400"s);
    EXPECT_EQ(stored(HKCU, "Control Panel\\Desktop", "MenuShowDelay"), (StoredValue{REG_SZ, sz("400")}));
}

TEST_F(Accessor, WriteFailuresOfEveryTypeCloseTheKey) {
    store.failAlways(Call::SetValue);
    at(HKCU, "K", "V");
    EXPECT_THROW(write(1, "x"s), RegError);
    EXPECT_THROW(write(3, Bytes{1}), RegError);
    EXPECT_THROW(write(4, int32_t{1}), RegError);
    EXPECT_EQ(store.count(Call::CreateKey), 3);
    EXPECT_EQ(store.count(Call::CloseKey), 3);
}

// ---- KeyExists, CreateKey, DeleteKey, DeleteValue ----------------------------------------------

TEST_F(Accessor, KeyExists) {
    store.addKey(HKCU, "Software\\Q");
    at(HKCU, "software\\q", "ignored");
    EXPECT_TRUE(reg.KeyExists());
    EXPECT_EQ(store.calls(), (std::vector<Call>{Call::OpenKey, Call::CloseKey}));
    store.clearLog();
    reg.setSectionKey("Software\\Q\\Missing");
    EXPECT_FALSE(reg.KeyExists());
    EXPECT_EQ(store.calls(), (std::vector<Call>{Call::OpenKey}));
    at(HKCR, "Missing");
    EXPECT_FALSE(reg.KeyExists());
    at(0, "");
    EXPECT_FALSE(reg.KeyExists());
}

TEST_F(Accessor, KeyExistsForTheRootItself) {
    at(HKCU, "");
    EXPECT_TRUE(reg.KeyExists());
    at(HKCU, "\\");
    EXPECT_TRUE(reg.KeyExists());
}

TEST_F(Accessor, CreateKeyCreatesNestedKeysAndAcceptsExistingOnes) {
    at(HKCU, "Software\\A\\B");
    EXPECT_TRUE(reg.CreateKey());
    EXPECT_TRUE(store.hasKey(HKCU, "Software\\A\\B"));
    EXPECT_TRUE(reg.CreateKey());
    EXPECT_EQ(store.subkeyNames(HKCU, "Software\\A"), std::vector<std::string>{"B"});
    EXPECT_EQ(store.count(Call::CloseKey), 2);
}

TEST_F(Accessor, CreateKeyFailureRaises26001) {
    store.failAlways(Call::CreateKey);
    at(HKCU, "Software\\A", "V");
    try {
        reg.CreateKey();
        FAIL() << "no error raised";
    } catch (const RegError& e) {
        EXPECT_EQ(e.number(), 26001);
        EXPECT_EQ(e.source(), source());
        EXPECT_EQ(e.description(), "Failed to create registry Key: 'Software\\A");
    }
}

TEST_F(Accessor, DeleteKeyRemovesTheSubtree) {
    store.putString(HKCR, "txtfile\\shell\\open\\command", "", "notepad.exe %1");
    store.putString(HKCR, "txtfile\\shell\\print\\command", "", "notepad.exe /p %1");
    store.putString(HKCR, "txtfile\\shell", "", "open");
    store.addKey(HKCR, "txtfile\\DefaultIcon");
    at(HKCR, "TXTFILE\\Shell", "");
    EXPECT_TRUE(reg.DeleteKey());
    EXPECT_FALSE(store.hasKey(HKCR, "txtfile\\shell"));
    EXPECT_FALSE(store.hasKey(HKCR, "txtfile\\shell\\open\\command"));
    EXPECT_TRUE(store.hasKey(HKCR, "txtfile\\DefaultIcon"));
    EXPECT_EQ(store.calls(), (std::vector<Call>{Call::DeleteKey}));
}

TEST_F(Accessor, DeleteKeyOfMissingKeyIsFalse) {
    at(HKCU, "Software\\Missing");
    EXPECT_FALSE(reg.DeleteKey());
    at(HKCU, "");
    EXPECT_FALSE(reg.DeleteKey()) << "a root cannot be deleted";
}

TEST_F(Accessor, DeleteValue) {
    store.putString(HKCU, "K", "A", "1");
    store.putString(HKCU, "K", "", "default");
    at(HKCU, "K", "a");
    EXPECT_TRUE(reg.DeleteValue());
    EXPECT_FALSE(store.hasValue(HKCU, "K", "A"));
    EXPECT_EQ(store.calls(), (std::vector<Call>{Call::OpenKey, Call::DeleteValue, Call::CloseKey}));
    EXPECT_FALSE(reg.DeleteValue()) << "already gone";
    reg.setValueKey("");
    EXPECT_TRUE(reg.DeleteValue());
    EXPECT_TRUE(store.hasKey(HKCU, "K"));
    at(HKCU, "Missing", "A");
    EXPECT_FALSE(reg.DeleteValue());
}

TEST_F(Accessor, DeleteValueRefusedByTheStoreIsFalse) {
    store.putString(HKCU, "K", "A", "1");
    store.failAlways(Call::DeleteValue);
    at(HKCU, "K", "A");
    EXPECT_FALSE(reg.DeleteValue());
    EXPECT_TRUE(store.hasValue(HKCU, "K", "A"));
}

// ---- enumerations ------------------------------------------------------------------------------

TEST_F(Accessor, EnumerateValuesOfKeyWithoutValues) {
    store.addKey(HKCU, "K\\Sub");
    at(HKCU, "K");
    std::vector<std::string> names{"stale"};
    int32_t count = 99;
    EXPECT_TRUE(reg.EnumerateValues(names, count));
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(names.empty());
}

TEST_F(Accessor, EnumerateValuesOfMissingKey) {
    at(HKCU, "Missing");
    std::vector<std::string> names{"stale"};
    int32_t count = 99;
    EXPECT_TRUE(reg.EnumerateValues(names, count));
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(store.calls(), (std::vector<Call>{Call::OpenKey}));
}

TEST_F(Accessor, EnumerateValuesListsEveryName) {
    store.putString(HKCU, "K", "", "d");
    store.putString(HKCU, "K", "Beta", "1");
    store.putDword(HKCU, "K", "alpha", 2);
    store.putString(HKCU, "K", "Ünï", "3");
    store.addKey(HKCU, "K\\Sub");
    at(HKCU, "K", "ignored");
    std::vector<std::string> names;
    int32_t count = 0;
    EXPECT_TRUE(reg.EnumerateValues(names, count));
    EXPECT_EQ(count, 4);
    EXPECT_EQ(names, store.valueNames(HKCU, "K"));
    EXPECT_EQ(names, (std::vector<std::string>{"", "alpha", "Beta", "Ünï"}));
    EXPECT_EQ(store.count(Call::QueryInfoKey), 1);
    EXPECT_EQ(store.count(Call::EnumValue), 5);  // up to ERROR_NO_MORE_ITEMS
}

TEST_F(Accessor, EnumerateValuesKeepsWhatCameBeforeAFailingCall) {
    store.putString(HKCU, "K", "A", "1");
    store.putString(HKCU, "K", "B", "1");
    store.putString(HKCU, "K", "C", "1");
    store.failNth(Call::EnumValue, 2, ERROR_ACCESS_DENIED);
    at(HKCU, "K");
    std::vector<std::string> names;
    int32_t count = 0;
    EXPECT_TRUE(reg.EnumerateValues(names, count));
    EXPECT_EQ(count, 1);
    EXPECT_EQ(names, std::vector<std::string>{"A"});
}

TEST_F(Accessor, EnumerateValuesWhenKeyInfoFails) {
    store.putString(HKCU, "K", "A", "1");
    store.failAlways(Call::QueryInfoKey);
    at(HKCU, "K");
    std::vector<std::string> names;
    int32_t count = 5;
    EXPECT_TRUE(reg.EnumerateValues(names, count));
    EXPECT_EQ(count, 0);
    EXPECT_EQ(store.count(Call::EnumValue), 0);
    EXPECT_EQ(store.count(Call::CloseKey), 1);
}

TEST_F(AccessorInsertionOrder, EnumerationsKeepTheStoreOrder) {
    for (const char* n : {"zeta", "Alpha", "mu"}) {
        store.putString(HKCU, "K", n, "1");
        store.addKey(HKCU, std::string("K\\") + n);
    }
    at(HKCU, "K");
    std::vector<std::string> names;
    int32_t count = 0;
    reg.EnumerateValues(names, count);
    EXPECT_EQ(names, (std::vector<std::string>{"zeta", "Alpha", "mu"}));
    reg.EnumerateSections(names, count);
    EXPECT_EQ(names, (std::vector<std::string>{"zeta", "Alpha", "mu"}));
}

TEST_F(Accessor, EnumerateSectionsListsSubkeys) {
    store.addKey(HKCU, "K\\A");
    store.addKey(HKCU, "K\\B\\Deeper");
    store.putString(HKCU, "K", "NotAKey", "1");
    at(HKCU, "K");
    std::vector<std::string> names{"stale"};
    int32_t count = 0;
    EXPECT_TRUE(reg.EnumerateSections(names, count));
    EXPECT_EQ(count, 2);
    EXPECT_EQ(names, (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(store.calls(), (std::vector<Call>{Call::OpenKey, Call::EnumKey, Call::EnumKey,
                                                Call::EnumKey, Call::CloseKey}));
}

TEST_F(Accessor, EnumerateSectionsOfMissingOrEmptyKey) {
    store.addKey(HKCU, "Empty");
    std::vector<std::string> names{"stale"};
    int32_t count = 3;
    at(HKCU, "Missing");
    EXPECT_TRUE(reg.EnumerateSections(names, count));
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(names.empty());
    at(HKCU, "Empty");
    EXPECT_TRUE(reg.EnumerateSections(names, count));
    EXPECT_EQ(count, 0);
}

TEST_F(AccessorInsertionOrder, EnumerateSectionsStopsAtANameThatDoesNotFitTheBuffer) {
    const std::string fits(254, 'a');
    const std::string tooLong(255, 'b');  // 255 characters and the NUL need 256
    store.addKey(HKCU, "K\\First");
    store.addKey(HKCU, "K\\" + fits);
    store.addKey(HKCU, "K\\" + tooLong);
    store.addKey(HKCU, "K\\After");
    at(HKCU, "K");
    std::vector<std::string> names;
    int32_t count = 0;
    EXPECT_TRUE(reg.EnumerateSections(names, count));
    EXPECT_EQ(count, 2);
    EXPECT_EQ(names, (std::vector<std::string>{"First", fits}));
}

TEST_F(Accessor, EnumerateSectionsCountsCharactersNotBytes) {
    std::string name;
    for (int i = 0; i < 200; ++i) name += "ü";  // 200 characters, 400 UTF-8 bytes
    store.addKey(HKCU, "K\\" + name);
    at(HKCU, "K");
    std::vector<std::string> names;
    int32_t count = 0;
    reg.EnumerateSections(names, count);
    EXPECT_EQ(names, std::vector<std::string>{name});
}

TEST_F(Accessor, EnumerateSectionsKeepsWhatCameBeforeAFailingCall) {
    store.addKey(HKCU, "K\\A");
    store.addKey(HKCU, "K\\B");
    store.failNth(Call::EnumKey, 2, ERROR_ACCESS_DENIED);
    at(HKCU, "K");
    std::vector<std::string> names;
    int32_t count = 0;
    EXPECT_TRUE(reg.EnumerateSections(names, count));
    EXPECT_EQ(names, std::vector<std::string>{"A"});
    EXPECT_EQ(count, 1);
}

TEST_F(Accessor, EnumerateSectionsUnexpectedFailureRaises800469AA) {
    store.addKey(HKCU, "K\\A");
    store.addKey(HKCU, "K\\B");
    store.throwNth(Call::EnumKey, 2);
    at(HKCU, "K");
    std::vector<std::string> names;
    int32_t count = 0;
    try {
        reg.EnumerateSections(names, count);
        FAIL() << "no error raised";
    } catch (const RegError& e) {
        EXPECT_EQ(e.number(), static_cast<int32_t>(0x800469AAu));
        EXPECT_EQ(e.number(), -2147194454);
        EXPECT_EQ(e.source(), source());
        EXPECT_EQ(e.description(), std::bad_alloc().what());
    }
    EXPECT_EQ(store.count(Call::CloseKey), 1);
}

// ---- CreateEXEAssociation ----------------------------------------------------------------------

TEST_F(Accessor, CreateEXEAssociationWritesFiveDefaultValues) {
    at(HKCU, "Elsewhere", "Name");
    reg.setValueType(1);
    reg.CreateEXEAssociation("C:\\Q\\q.exe", "qvfile", "Quorvel File", "qv", 2);
    auto classes = [&](std::string_view path) { return stored(HKCR, path, ""); };
    EXPECT_EQ(classes(".qv"), (StoredValue{REG_SZ, sz("qvfile")}));
    EXPECT_EQ(classes(".qv\\shell\\open\\command"), (StoredValue{REG_SZ, sz("C:\\Q\\q.exe \"%1\"")}));
    EXPECT_EQ(classes("qvfile"), (StoredValue{REG_SZ, sz("Quorvel File")}));
    EXPECT_EQ(classes("qvfile\\shell\\open\\command"), (StoredValue{REG_SZ, sz("C:\\Q\\q.exe \"%1\"")}));
    EXPECT_EQ(classes("qvfile\\DefaultIcon"), (StoredValue{REG_SZ, sz("C:\\Q\\q.exe,2")}));
    EXPECT_EQ(store.count(Call::SetValue), 5);
    EXPECT_EQ(reg.ClassKey(), HKCR);
    EXPECT_EQ(reg.ValueKey(), "");
    EXPECT_EQ(reg.SectionKey(), "qvfile\\DefaultIcon");
    EXPECT_EQ(reg.ValueType(), 1);
    EXPECT_FALSE(store.hasValue(HKCU, "Elsewhere", "Name"));
}

TEST_F(Accessor, CreateEXEAssociationWithoutIcon) {
    reg.setValueType(1);
    reg.CreateEXEAssociation("C:\\q.exe", "qvfile", "Q", "qv", -1);
    EXPECT_EQ(store.count(Call::SetValue), 4);
    EXPECT_FALSE(store.hasKey(HKCR, "qvfile\\DefaultIcon"));
    EXPECT_EQ(reg.SectionKey(), "qvfile\\shell\\open\\command");
    reg.CreateEXEAssociation("C:\\q.exe", "qvfile", "Q", "qv", 0);
    EXPECT_EQ(stored(HKCR, "qvfile\\DefaultIcon", ""), (StoredValue{REG_SZ, sz("C:\\q.exe,0")}));
}

TEST_F(Accessor, CreateEXEAssociationWithoutValueTypeRaisesAtTheFirstWrite) {
    EXPECT_THROW(reg.CreateEXEAssociation("C:\\q.exe", "qvfile", "Q", "qv", 0), RegError);
    EXPECT_EQ(store.count(Call::SetValue), 0);
    EXPECT_EQ(reg.SectionKey(), ".qv");
}

// ---- errors ------------------------------------------------------------------------------------

TEST(RegErrorTest, CarriesNumberSourceAndDescription) {
    const RegError e(26001, "quorvel.cRegistry", "Failed to create registry Key: 'X");
    EXPECT_EQ(e.number(), 26001);
    EXPECT_EQ(e.source(), "quorvel.cRegistry");
    EXPECT_EQ(e.description(), "Failed to create registry Key: 'X");
    const std::string what = e.what();
    EXPECT_NE(what.find("26001"), std::string::npos);
    EXPECT_NE(what.find("Failed to create registry Key: 'X"), std::string::npos);
    EXPECT_NE(std::string(RegError(26001, "", "").what()), "");
}

TEST(RegErrorTest, SourceIsTheExecutableNameWithoutExtension) {
    EXPECT_EQ(executableName(), "registry_tests");
}

TEST(RegErrorTest, ErrorNumbers) {
    EXPECT_EQ(kErrSetValue, 26001);
    EXPECT_EQ(kErrWriteFailed, -2147194455);
    EXPECT_EQ(kErrWriteFailed - static_cast<int32_t>(0x80040000u), 27049);
    EXPECT_EQ(kErrEnumerate, -2147194454);
}

// ---- the value variant -------------------------------------------------------------------------

TEST(VariantToText, EveryKind) {
    EXPECT_EQ(variantToText(RegVariant{}), "");
    EXPECT_EQ(variantToText(RegVariant("a b"s)), "a b");
    EXPECT_EQ(variantToText(RegVariant(int32_t{-2147483647})), "-2147483647");
    EXPECT_EQ(variantToText(RegVariant(int32_t{400})), "400");
    EXPECT_EQ(variantToText(RegVariant(int16_t{-32768})), "-32768");
    EXPECT_EQ(variantToText(RegVariant(Bytes{})), "");
    EXPECT_EQ(variantToText(RegVariant(Bytes{0x95, 0x00, 0xab, 0x0F})), "95 00 AB 0F");
}

// ---- the fake store itself (other tests rely on it) --------------------------------------------

TEST(FakeRegistryTest, ClassesRootIsAnAliasAndHandlesOfDeletedKeysExpire) {
    FakeRegistry store;
    store.putString(HKCR, ".txt", "", "txtfile");
    EXPECT_TRUE(store.hasValue(HKLM, "SOFTWARE\\classes\\.TXT", ""));
    HKey h = nullptr;
    ASSERT_EQ(store.openKey(HKCU, "\\A\\B\\", &h), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(store.createKey(HKCU, "\\A\\B\\", &h), ERROR_SUCCESS);
    EXPECT_EQ(store.setValue(h, "v", REG_DWORD, dword(1)), ERROR_SUCCESS);
    EXPECT_EQ(store.deleteKey(HKCU, "a"), ERROR_SUCCESS);
    EXPECT_EQ(store.queryValue(h, "v", nullptr, nullptr), ERROR_KEY_DELETED);
    store.closeKey(h);
    store.closeKey(h);
    EXPECT_EQ(store.badCloses(), 1);
    EXPECT_EQ(store.openHandles(), 0u);
    EXPECT_EQ(store.createKey(HKCU, "a\\\\b", &h), ERROR_BAD_PATHNAME);
    EXPECT_EQ(store.createKey(HKCU, std::string(256, 'x'), &h), ERROR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(store.deleteKey(HKCR, ""), ERROR_ACCESS_DENIED);
}

TEST(FakeRegistryTest, FailuresByCountAndTarget) {
    FakeRegistry store;
    HKey h = nullptr;
    store.failNth(Call::CreateKey, 2, ERROR_ACCESS_DENIED);
    store.failOn(Call::SetValue, "locked");
    EXPECT_EQ(store.createKey(HKCU, "A", &h), ERROR_SUCCESS);
    store.closeKey(h);
    EXPECT_EQ(store.createKey(HKCU, "A", &h), ERROR_ACCESS_DENIED);
    EXPECT_EQ(store.createKey(HKCU, "A", &h), ERROR_SUCCESS);
    EXPECT_EQ(store.setValue(h, "LOCKED", REG_SZ, sz("x")), ERROR_ACCESS_DENIED);
    EXPECT_EQ(store.setValue(h, "open", REG_SZ, sz("x")), ERROR_SUCCESS);
    store.closeKey(h);
    EXPECT_EQ(store.openHandles(), 0u);
    ASSERT_GE(store.log().size(), 3u);
    EXPECT_EQ(store.log()[2].call, Call::CreateKey);
    EXPECT_EQ(store.log()[2].status, ERROR_ACCESS_DENIED);
}

TEST(FakeRegistryTest, CopyKeyMergesASnapshot) {
    FakeRegistry store;
    store.putString(HKCU, "S", "a", "1");
    store.putString(HKCU, "S\\Sub", "b", "2");
    store.putString(HKCU, "D", "a", "old");
    store.putString(HKCU, "D", "keep", "3");
    EXPECT_EQ(store.copyKey(HKCU, "S", HKCU, "D"), ERROR_SUCCESS);
    EXPECT_EQ(store.get(HKCU, "D", "a"), (StoredValue{REG_SZ, sz("1")}));
    EXPECT_TRUE(store.hasValue(HKCU, "D", "keep"));
    EXPECT_TRUE(store.hasValue(HKCU, "D\\Sub", "b"));
    EXPECT_EQ(store.copyKey(HKCU, "S", HKCU, "S\\Sub\\Inner"), ERROR_SUCCESS);
    EXPECT_TRUE(store.hasValue(HKCU, "S\\Sub\\Inner\\Sub", "b"));
    EXPECT_FALSE(store.hasKey(HKCU, "S\\Sub\\Inner\\Sub\\Inner"));
    EXPECT_EQ(store.copyKey(HKCU, "Missing", HKCU, "X"), ERROR_FILE_NOT_FOUND);
}


// ---- text written back as it was read ------------------------------------------------------------

TEST_F(Accessor, TextLeftAsShownIsWrittenBackWithItsTypeAndBytes) {
    struct Case {
        const char* what;
        uint32_t type;
        std::string data;
        uint32_t editedType;  // what the accessor's "%" rule makes of the edited text
    };
    const std::vector<Case> cases = {
        {"expandable", REG_EXPAND_SZ, sz("%windir%\\cabs"), REG_SZ},
        {"plain text the % rule would retype", REG_SZ, sz("50% and 10% off"), REG_EXPAND_SZ},
        {"number", REG_DWORD, dword(7), REG_SZ},
        {"no terminating NUL", REG_SZ, std::string("a\0b\0", 4), REG_SZ},
    };
    for (const Case& c : cases) {
        store.put(HKLM, "S", "v", c.type, c.data);
        at(HKLM, "S", "v");
        const std::string shown = variantToText(reg.Value());
        ASSERT_EQ(reg.LastRead(), (RawValue{c.type, c.data})) << c.what;
        TextAsRead asRead;
        asRead.remember(shown, reg.LastRead());
        reg.setValueType(REG_SZ);
        at(HKLM, "T", "v");
        asRead.write(reg, shown);
        EXPECT_EQ(stored(HKLM, "T", "v"), (StoredValue{c.type, c.data})) << c.what;
        EXPECT_EQ(reg.ValueType(), REG_SZ) << c.what;  // the raw write leaves ValueType alone
        // An edited text goes through the accessor's own rules.
        asRead.write(reg, shown + "x");
        EXPECT_EQ(stored(HKLM, "T", "v"), (StoredValue{c.editedType, sz(shown + "x")})) << c.what;
    }
    // A read that found nothing leaves nothing to write back.
    at(HKLM, "S", "missing");
    reg.Value();
    EXPECT_FALSE(reg.LastRead());
    TextAsRead none;
    none.remember("", reg.LastRead());
    at(HKLM, "T", "empty");
    none.write(reg, "");
    EXPECT_EQ(stored(HKLM, "T", "empty"), (StoredValue{REG_SZ, sz("")}));
}

TEST_F(Accessor, ValueExistsWhateverTheType) {
    store.put(HKCU, "K", "bin", REG_BINARY, bytes({}));
    at(HKCU, "K", "bin");
    EXPECT_TRUE(reg.ValueExists());
    at(HKCU, "K", "other");
    EXPECT_FALSE(reg.ValueExists());
    at(HKCU, "Missing", "bin");
    EXPECT_FALSE(reg.ValueExists());
}

// ---- the machine's Windows environment -----------------------------------------------------------

TEST(MachineEnvironment, ComesFromTheMachineNeverFromTheProcess) {
    namespace fs = std::filesystem;
    std::string tmpl = (fs::temp_directory_path() / "qv-env-XXXXXX").string();
    const fs::path dir = ::mkdtemp(tmpl.data());
    {
        auto m = Machine::openOwn(dir / "machine");
        auto put = [&](int32_t root, const char* key, const char* name, uint32_t type, const char* text) {
            HKey k = nullptr;
            ASSERT_EQ(m->createKey(root, key, &k), ERROR_SUCCESS);
            ASSERT_EQ(m->setValue(k, name, type, sz(text)), ERROR_SUCCESS);
            m->closeKey(k);
        };
        const char* system = "System\\CurrentControlSet\\Control\\Session Manager\\Environment";
        put(HKLM, system, "TEMP", REG_EXPAND_SZ, "%SystemRoot%\\temp");
        put(HKLM, system, "PATH", REG_EXPAND_SZ, "%SystemRoot%\\system32");
        put(HKLM, system, "Loop", REG_EXPAND_SZ, "<%LOOP%>");
        put(HKLM, system, "Tools", REG_SZ, "%SystemDrive%\\tools");  // plain: not expanded
        put(HKLM, "Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\S-1-5-21-1-2-3-1000",
            "ProfileImagePath", REG_EXPAND_SZ, "%SystemDrive%\\Users\\ada");
        put(HKCU, "Environment", "TEMP", REG_EXPAND_SZ, "%USERPROFILE%\\Temp");
        put(HKCU, "Environment", "PATH", REG_SZ, "D:\\bin");
        // What the Linux process holds must not leak into the machine's view.
        ::setenv("USERPROFILE", "/root", 1);
        ::setenv("QV_ONLY_ON_LINUX", "leak", 1);
        const std::vector<std::pair<const char*, std::optional<std::string>>> cases = {
            {"windir", "C:\\WINDOWS"},
            {"SYSTEMROOT", "C:\\WINDOWS"},
            {"SystemDrive", "C:"},
            {"userprofile", "C:\\Users\\ada"},
            {"USERNAME", "ada"},
            {"HOMEPATH", "\\Users\\ada"},
            {"TEMP", "C:\\Users\\ada\\Temp"},  // the user's wins
            {"Path", "C:\\WINDOWS\\system32;D:\\bin"},
            {"Tools", "%SystemDrive%\\tools"},
            {"LOOP", "<%LOOP%>"},
            {"QV_ONLY_ON_LINUX", std::nullopt},
            {"HOME", std::nullopt},
        };
        for (const auto& [name, want] : cases) EXPECT_EQ(m->environmentVariable(name), want) << name;
        ::unsetenv("QV_ONLY_ON_LINUX");
        ::unsetenv("USERPROFILE");
        // Through the accessor: an unknown name stays as written.
        cRegistry r(*m);
        put(HKCU, "X", "v", REG_EXPAND_SZ, "%TEMP%\\a;%NoSuchName%\\b");
        r.setClassKey(HKCU);
        r.setSectionKey("X");
        r.setValueKey("v");
        EXPECT_EQ(variantToText(r.Value()), "C:\\Users\\ada\\Temp\\a;%NoSuchName%\\b");
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
}

}  // namespace
}  // namespace qv::reg
