#include <gtest/gtest.h>

#include "platform/KeyedArchiver.h"
#include "support/TestSupport.h"

using namespace quarra;
using namespace quarra::test;

namespace {

struct Point : Coding {
    static constexpr const char* ArchiveClassName = "Point";
    std::uint64_t x = 0;
    std::string tag;
    std::string archiveClassName() const override { return ArchiveClassName; }
    void encodeWithCoder(KeyedArchiver& coder) const override {
        coder.encodeUInt64(x, "x");
        coder.encodeString(tag, "tag");
    }
    static std::shared_ptr<Point> initWithCoder(KeyedUnarchiver& coder) {
        auto point = std::make_shared<Point>();
        point->x = coder.decodeUInt64("x").value_or(0);
        point->tag = coder.decodeString("tag").value_or("");
        return point;
    }
};

struct Shape : Coding {
    static constexpr const char* ArchiveClassName = "Shape";
    std::vector<std::shared_ptr<Point>> points;
    std::shared_ptr<Point> origin;
    Bytes blob;
    std::optional<Url> link;
    Json extra;
    bool closed = false;
    std::int64_t offset = 0;
    double scale = 0;
    std::string archiveClassName() const override { return ArchiveClassName; }
    void encodeWithCoder(KeyedArchiver& coder) const override {
        coder.encodeObjects(points, "points");
        coder.encodeObject(origin, "origin");
        coder.encodeBytes(blob, "blob");
        if (link)
            coder.encodeUrl(*link, "link");
        coder.encodeJson(extra, "extra");
        coder.encodeBool(closed, "closed");
        coder.encodeInt64(offset, "offset");
        coder.encodeDouble(scale, "scale");
    }
    static std::shared_ptr<Shape> initWithCoder(KeyedUnarchiver& coder) {
        auto shape = std::make_shared<Shape>();
        shape->points = coder.decodeObjects<Point>("points").value_or(decltype(points){});
        shape->origin = coder.decodeObject<Point>("origin");
        shape->blob = coder.decodeBytes("blob").value_or(Bytes{});
        shape->link = coder.decodeUrl("link");
        shape->extra = coder.decodeJson("extra").value_or(Json());
        shape->closed = coder.decodeBool("closed").value_or(false);
        shape->offset = coder.decodeInt64("offset").value_or(0);
        shape->scale = coder.decodeDouble("scale").value_or(0);
        return shape;
    }
};

std::vector<KeyedUnarchiver::AllowedClass> both() {
    return {KeyedUnarchiver::allow<Shape>(), KeyedUnarchiver::allow<Point>()};
}

Json sample() {
    Shape shape;
    auto p = std::make_shared<Point>();
    p->x = (1ULL << 63) + 5;
    p->tag = "corner";
    shape.points = {p, std::make_shared<Point>()};
    shape.origin = p;
    shape.blob = {0, 1, 255};
    shape.link = Url::parse("https://q.example/a%20b");
    shape.extra = {{"nested", {1, 2}}};
    shape.closed = true;
    shape.offset = -7;
    shape.scale = 1.5;
    return KeyedArchiver::archivedDocument(shape);
}

}  // namespace

TEST(KeyedArchiverTest, EveryValueKindSurvivesAFileRoundTrip) {
    TempDir dir;
    Json document = sample();
    writeFile(dir / "a", document.dump());
    auto read = KeyedUnarchiver::readDocument(dir / "a");
    ASSERT_TRUE(read);
    auto decoded = KeyedUnarchiver::unarchivedObject<Shape>(*read, both());
    ASSERT_TRUE(decoded) << decoded.error()->description();
    auto shape = *decoded;
    ASSERT_EQ(shape->points.size(), 2u);
    EXPECT_EQ(shape->points[0]->x, (1ULL << 63) + 5);
    EXPECT_EQ(shape->points[0]->tag, "corner");
    EXPECT_EQ(shape->origin->x, (1ULL << 63) + 5);
    EXPECT_EQ(shape->blob, (Bytes{0, 1, 255}));
    ASSERT_TRUE(shape->link);
    EXPECT_EQ(shape->link->string(), "https://q.example/a%20b");
    EXPECT_EQ(shape->extra, (Json{{"nested", {1, 2}}}));
    EXPECT_TRUE(shape->closed);
    EXPECT_EQ(shape->offset, -7);
    EXPECT_EQ(shape->scale, 1.5);
}

TEST(KeyedArchiverTest, LegacyClassNameMapsToTheCurrentClass) {
    Json document = sample();
    document["$root"]["origin"]["$class"] = "OldPoint";
    ErrorPtr error = KeyedUnarchiver::unarchivedObject<Shape>(document, both()).error();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), KeyedArchiveClassNotAllowed);

    KeyedUnarchiver coder(document, both());
    coder.setClass("Point", "OldPoint");
    EXPECT_TRUE(coder.decodeRoot<Shape>());

    KeyedUnarchiver::setClassForClassName("Point", "OldPoint");
    EXPECT_TRUE(KeyedUnarchiver::unarchivedObject<Shape>(document, both()));
}

TEST(KeyedArchiverTest, ForeignCorruptOrWrongTypedArchivesFailWithAnError) {
    struct Case {
        const char* name;
        std::function<void(Json&)> spoil;
        long code;
    };
    const Case cases[] = {
        {"not an archive", [](Json& d) { d = Json::array(); }, KeyedArchiveCorrupt},
        {"no root", [](Json& d) { d.erase("$root"); }, KeyedArchiveCorrupt},
        {"root of other class", [](Json& d) { d["$root"] = d["$root"]["origin"]; },
         KeyedArchiveCorrupt},
        {"class not allowed", [](Json& d) { d["$root"]["$class"] = "Evil"; },
         KeyedArchiveClassNotAllowed},
        {"string where number", [](Json& d) { d["$root"]["origin"]["x"] = "5"; },
         KeyedArchiveCorrupt},
        {"negative unsigned", [](Json& d) { d["$root"]["origin"]["x"] = -1; }, KeyedArchiveCorrupt},
        {"fraction unsigned", [](Json& d) { d["$root"]["origin"]["x"] = 1.5; },
         KeyedArchiveCorrupt},
        {"number where string", [](Json& d) { d["$root"]["origin"]["tag"] = 3; },
         KeyedArchiveCorrupt},
        {"object where list", [](Json& d) { d["$root"]["points"] = Json::object(); },
         KeyedArchiveCorrupt},
        {"list element no object", [](Json& d) { d["$root"]["points"][0] = 1; },
         KeyedArchiveCorrupt},
        {"bad base64", [](Json& d) { d["$root"]["blob"]["base64"] = "@@"; }, KeyedArchiveCorrupt},
        {"bad url", [](Json& d) { d["$root"]["link"]["string"] = "no url"; }, KeyedArchiveCorrupt},
        {"string where bool", [](Json& d) { d["$root"]["closed"] = "yes"; }, KeyedArchiveCorrupt},
        {"unsigned too big for signed", [](Json& d) { d["$root"]["offset"] = ~0ULL; },
         KeyedArchiveCorrupt},
    };
    for (const auto& c : cases) {
        Json document = sample();
        c.spoil(document);
        ErrorPtr error = KeyedUnarchiver::unarchivedObject<Shape>(document, both()).error();
        ASSERT_NE(error, nullptr) << c.name;
        EXPECT_EQ(error->domain(), KeyedArchiveErrorDomain) << c.name;
        EXPECT_EQ(error->code(), c.code) << c.name;
    }
}

TEST(KeyedArchiverTest, UnreadableOrNonJsonFileIsAnError) {
    TempDir dir;
    auto missing = KeyedUnarchiver::readDocument(dir / "missing");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error()->code(), KeyedArchiveUnreadable);
    writeFile(dir / "junk", "\x01\x02 not json");
    auto junk = KeyedUnarchiver::readDocument(dir / "junk");
    ASSERT_FALSE(junk);
    EXPECT_EQ(junk.error()->code(), KeyedArchiveCorrupt);
}

namespace {

struct Chain : Coding {
    static constexpr const char* ArchiveClassName = "Chain";
    std::shared_ptr<Chain> next;
    std::string archiveClassName() const override { return ArchiveClassName; }
    void encodeWithCoder(KeyedArchiver&) const override {}
    static std::shared_ptr<Chain> initWithCoder(KeyedUnarchiver& coder) {
        auto chain = std::make_shared<Chain>();
        chain->next = coder.decodeObject<Chain>("next");
        return chain;
    }
};

}  // namespace

TEST(KeyedArchiverTest, DeepNestingIsRefusedNotOverflowed) {
    Json inner = {{"$class", "Chain"}};
    for (int i = 0; i < 200; ++i)
        inner = {{"$class", "Chain"}, {"next", inner}};
    Json document = {{"$archiver", "KeyedArchiver"}, {"$version", 1}, {"$root", inner}};
    ErrorPtr error =
        KeyedUnarchiver::unarchivedObject<Chain>(document, {KeyedUnarchiver::allow<Chain>()})
            .error();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), KeyedArchiveCorrupt);
}
