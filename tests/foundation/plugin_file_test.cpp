// The plug-in file as the host sees it: metadata bytes, entry points, interface casts, and
// the three operations that do nothing.
#include "ur_test_support.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>

#include <gtest/gtest.h>

namespace {

class FoundationPluginFile : public ur_test::PluginTest {};

QByteArray bytes(std::initializer_list<unsigned char> list) {
    QByteArray result;
    for (unsigned char byte : list)
        result.append(static_cast<char>(byte));
    return result;
}

TEST_F(FoundationPluginFile, MetadataIsQt515ReleaseWithInterfaceIdAndClassNameOnly) {
    const auto entry = harness.metadataEntry();
    ASSERT_NE(entry, nullptr);
    const char *metadata = entry();
    ASSERT_NE(metadata, nullptr);

    const QByteArray iid = QByteArrayLiteral("com.tervane.NORU/1.0.7");
    ASSERT_EQ(iid.size(), 22); // short enough for a one-byte CBOR text header
    // Magic, metadata version 0, Qt 5.15, release build without processor requirements,
    // then an indefinite CBOR map {2: iid, 3: "UR"}.
    const QByteArray expected = QByteArrayLiteral("QTMETADATA !") + bytes({0, 5, 15, 0}) +
                                bytes({0xBF, 0x02, 0x60 + 22}) + iid + bytes({0x03, 0x62}) +
                                QByteArrayLiteral("UR") + bytes({0xFF});
    EXPECT_EQ(QByteArray(metadata, expected.size()).toHex(' '), expected.toHex(' '));

    const QJsonObject seen = harness.metaData();
    EXPECT_EQ(seen.value(QStringLiteral("IID")).toString(), QString::fromLatin1(iid));
    EXPECT_EQ(seen.value(QStringLiteral("className")).toString(), QStringLiteral("UR"));
    EXPECT_FALSE(seen.contains(QStringLiteral("MetaData")));
}

TEST_F(FoundationPluginFile, CastsByClassNameInterfaceNameAndInterfaceId) {
    QObject *object = harness.object();
    ASSERT_NE(object, nullptr);
    EXPECT_STREQ(object->metaObject()->className(), "UR");

    NORUInterface *interface = plugin();
    ASSERT_NE(interface, nullptr);
    // The interface is the second base, so its address differs from the object's.
    EXPECT_NE(static_cast<void *>(interface), static_cast<void *>(object));

    EXPECT_EQ(object->qt_metacast("UR"), static_cast<void *>(object));
    EXPECT_EQ(object->qt_metacast("NORUInterface"), static_cast<void *>(interface));
    EXPECT_EQ(object->qt_metacast("com.tervane.NORU/1.0.7"), static_cast<void *>(interface));
    EXPECT_EQ(object->qt_metacast("QObject"), static_cast<void *>(object));
    EXPECT_EQ(object->qt_metacast("com.tervane.NORU/1.0.6"), nullptr);
    EXPECT_EQ(object->qt_metacast("NoSuchClass"), nullptr);
}

TEST_F(FoundationPluginFile, InstanceEntryReturnsOneObjectUntilTheHostDeletesIt) {
    const auto entry = harness.instanceEntry();
    ASSERT_NE(entry, nullptr);
    QObject *first = entry();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(entry(), first);
    EXPECT_EQ(harness.object(), first);

    // Deleting the object stops nothing; the next call makes a working new one.
    delete first;
    QObject *second = entry();
    ASSERT_NE(second, nullptr);
    NORUInterface *interface = qobject_cast<NORUInterface *>(second);
    ASSERT_NE(interface, nullptr);
    ASSERT_TRUE(initPlugin()); // TearDown stops it through the new object
    EXPECT_EQ(host().initPluginCalls().size(), 1);
}

// Everything of a read-cycle list that a plug-in operation could change, as text.
QString describe(const LogList &list) {
    QStringList parts;
    parts << QString::number(list.id) << list.name << list.address << list.errorText
          << QString::number(list.errorWaitSeconds) << QString::number(list.items.size());
    for (auto it = list.settings.cbegin(); it != list.settings.cend(); ++it)
        parts << it.key() + "=" + it.value();
    for (const DataItem &item : list.items) {
        parts << item.item.uid << item.item.name << item.item.errorText
              << item.timestamp.toString(Qt::ISODateWithMs);
        for (auto it = item.values.cbegin(); it != item.values.cend(); ++it)
            parts << it.key() + "=" + it.value();
    }
    for (unsigned char byte : list.hostFields)
        parts << QString::number(byte);
    return parts.join('|');
}

TEST_F(FoundationPluginFile, EventLogCallbackAndWriteLeaveTheListUnchanged) {
    auto list = ur_test::readList(
        ur_test::makeDevice(9, QStringLiteral("127.0.9.1"), QStringLiteral("Robot 9"), 7,
                            {{QStringLiteral("version"), QStringLiteral("2")}}),
        {QStringLiteral("identity_9_vendor"), QStringLiteral("base_temperature_9")});
    list->errorText = QStringLiteral("earlier error");
    list->items[0].values.insert(QStringLiteral("value"), QStringLiteral("old"));
    list->items[0].timestamp = QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5), Qt::UTC);
    list->items[1].item.errorText = QStringLiteral("item error");
    list->hostFields[0] = 0x5A;
    list->hostFields[151] = 0xA5;
    const QString before = describe(*list);

    EXPECT_TRUE(plugin()->getEventData(list.get()));
    EXPECT_EQ(describe(*list), before);
    EXPECT_TRUE(plugin()->logCallback(list.get()));
    EXPECT_EQ(describe(*list), before);
    EXPECT_TRUE(plugin()->writeData(list.get()));
    EXPECT_EQ(describe(*list), before);
    // Nothing reaches the host either.
    EXPECT_TRUE(host().calls().isEmpty());
}

} // namespace
