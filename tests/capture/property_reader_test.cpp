#include <gtest/gtest.h>

#include "capture/capture_error.h"
#include "capture/property_reader.h"
#include "capture/table_audio_objects.h"

namespace quorvel {
namespace {

TEST(CaptureErrorTest, Descriptions) {
    EXPECT_EQ(CaptureError::status("Не удалось подключиться к звуку Pro Tools", -50).description(),
              "Не удалось подключиться к звуку Pro Tools (код -50)");
    EXPECT_EQ(CaptureError::status("x", 0).description(), "x (код 0)");
    EXPECT_EQ(CaptureError::unsupportedFormat("16 бит, флаги 12").description(),
              "Неподдерживаемый формат звука: 16 бит, флаги 12");
    EXPECT_EQ(CaptureError::unsupportedFormat("").description(), "Неподдерживаемый формат звука: ");
}

TEST(FourCharCodeTest, BigEndianValues) {
    EXPECT_EQ(selector::tapFormat, 1952869748u);
    EXPECT_EQ(selector::deviceUID, 1969841184u);
    EXPECT_EQ(selector::devices, 1684370979u);
    EXPECT_EQ(scope::global, 1735159650u);
    EXPECT_EQ(scope::output, 1869968496u);
    EXPECT_EQ(kAudioFormatLinearPCM, 1819304813u);
}

struct Format {
    double rate;
    std::uint32_t flags;
};

TEST(PropertyReaderTest, ReadKeepsUnwrittenBytesAndReportsFailures) {
    TableAudioObjects table;
    table.set<double>(7, address(selector::nominalSampleRate), 48000.0);
    table.setBytes(7, address(selector::tapFormat), {0, 0, 0, 0, 0, 0x70, 0xE7, 0x40});  // 48000.0 only
    table.setFailure(9, address(selector::tapFormat), -50);
    const PropertyReader device(table, 7);

    EXPECT_EQ(*device.read<double>(selector::nominalSampleRate), 48000.0);
    const auto format = device.read<Format>(selector::tapFormat, scope::global, Format{1.0, 77});
    ASSERT_TRUE(format);
    EXPECT_EQ(format->rate, 48000.0);
    EXPECT_EQ(format->flags, 77u);

    const auto failed = PropertyReader(table, 9).read<Format>(selector::tapFormat);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().description(), "Чтение свойства 1952869748 (код -50)");
    EXPECT_FALSE(PropertyReader(table, 42).read<double>(selector::nominalSampleRate));
}

TEST(PropertyReaderTest, ReadString) {
    TableAudioObjects table;
    table.setString(3, address(selector::deviceUID), "BuiltIn:0");
    table.setString(3, address(selector::name), "");
    table.setBytes(4, address(selector::deviceUID), {});
    EXPECT_EQ(*PropertyReader(table, 3).readString(selector::deviceUID), "BuiltIn:0");
    EXPECT_EQ(*PropertyReader(table, 3).readString(selector::name), "");
    const auto none = PropertyReader(table, 4).readString(selector::deviceUID);
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().description(), "Чтение строки 1969841184 (код 0)");
}

TEST(PropertyReaderTest, ReadIDsSizeArithmetic) {
    for (std::size_t size : {0u, 1u, 2u, 3u}) {
        TableAudioObjects table;
        table.setBytes(audio_object::system, address(selector::devices), std::vector<std::uint8_t>(size, 0xAB));
        const auto ids = PropertyReader(table, audio_object::system).readIDs(selector::devices);
        ASSERT_TRUE(ids);
        EXPECT_TRUE(ids->empty());
        EXPECT_EQ(table.dataRequests(), 0);
    }
    TableAudioObjects table;
    table.setIDs(audio_object::system, address(selector::devices), {5, 6, 7});
    EXPECT_EQ(*PropertyReader(table, audio_object::system).readIDs(selector::devices),
              (std::vector<AudioObjectID>{5, 6, 7}));

    std::vector<std::uint8_t> fourteen(14, 0);
    fourteen[0] = 9;
    table.setBytes(2, address(selector::devices, scope::input), fourteen);
    EXPECT_EQ(*PropertyReader(table, 2).readIDs(selector::devices, scope::input),
              (std::vector<AudioObjectID>{9, 0, 0}));
}

TEST(PropertyReaderTest, ReadIDsFailures) {
    TableAudioObjects table;
    table.setFailure(1, address(selector::processObjectList), 561211770);
    table.setDataFailure(2, address(selector::processObjectList), std::vector<std::uint8_t>(8), -50);
    EXPECT_EQ(PropertyReader(table, 1).readIDs(selector::processObjectList).error().description(),
              "Размер списка 1886548771 (код 561211770)");
    EXPECT_EQ(PropertyReader(table, 2).readIDs(selector::processObjectList).error().description(),
              "Список 1886548771 (код -50)");
}

}  // namespace
}  // namespace quorvel
