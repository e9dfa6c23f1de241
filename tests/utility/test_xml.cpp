// XML documents, queries, element lookups, code readers and the plug-in
// lookup, on a small fixture document.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ZarnUtility.h"

namespace {

const std::string FIXTURE = std::string(MORVANE_TEST_FIXTURES) + "/sample.xml";

class XmlTest : public ::testing::Test {
protected:
    void SetUp() override {
        document = c_xml_newfile(FIXTURE.c_str());
        ASSERT_NE(document, nullptr);
        root = c_xml_getrootnode(document);
        ASSERT_NE(root, nullptr);
    }
    void TearDown() override { c_xml_freedoc(document); }

    std::vector<std::string> names(const char* xpath) {
        std::vector<std::string> result;
        c_xml_nodeset_t* set = c_xml_getnodeset(document, xpath);
        if (set == nullptr)
            return result;
        for (int i = 0; i < set->count; i++)
            result.push_back(reinterpret_cast<const char*>(set->nodes[i]->name));
        c_xml_freenodeset(set);
        return result;
    }

    xmlDocPtr document = nullptr;
    xmlNodePtr root = nullptr;
};

TEST_F(XmlTest, DocumentKnowsItsPathAndRejectsBadFiles) {
    EXPECT_EQ(std::string(c_xml_getpath(document)), FIXTURE);
    EXPECT_STREQ(c_xml_parserversion(), xmlParserVersion);
    EXPECT_EQ(c_xml_newfile("/nonexistent/file.xml"), nullptr);
    std::string broken = std::string(MORVANE_BINARY_DIR) + "/broken_utility_fixture.xml";
    FILE* file = fopen(broken.c_str(), "w");
    ASSERT_NE(file, nullptr);
    fputs("<a><b></a>", file);
    fclose(file);
    EXPECT_EQ(c_xml_newfile(broken.c_str()), nullptr);
    remove(broken.c_str());
}

TEST_F(XmlTest, NodeSetsComeInDocumentOrder) {
    EXPECT_EQ(names("/ServerDefinitions/ServerParameters/ChannelParameters/*"),
              (std::vector<std::string>{"Enabled", "Energy", "Energy"}));
    // A union written in reverse order, and a reverse axis, still give document order.
    EXPECT_EQ(names("//Offset | //Gain"), (std::vector<std::string>{"Gain", "Offset"}));
    EXPECT_EQ(names("//Offset/preceding-sibling::*"), (std::vector<std::string>{"Gain", "Threshold"}));
}

TEST_F(XmlTest, InvalidOrEmptyQueriesGiveNoSet) {
    EXPECT_EQ(c_xml_getnodeset(document, "//Missing"), nullptr);
    EXPECT_EQ(c_xml_getnodeset(document, "/ServerDefinitions/[bad"), nullptr);
    EXPECT_EQ(c_xml_getnodeset(document, "count(//Gain)"), nullptr); // not a node set
    EXPECT_EQ(c_xml_getnodeset(nullptr, "//Gain"), nullptr);
    EXPECT_EQ(c_xml_getfirstnodefromxpathquery(document, "//Missing"), nullptr);
    xmlNodePtr energy = c_xml_getfirstnodefromxpathquery(document, "//Energy");
    ASSERT_NE(energy, nullptr);
    EXPECT_STREQ(c_xml_getattributevalue(energy, "code", 0), "9");
}

TEST_F(XmlTest, MaximumCodePredicateSelectsTheHighestCode) {
    char query[512];
    ASSERT_GT(c_xml_snprintf(query, sizeof query,
                             "/ServerDefinitions/ServerParameters/%s/*[not(@code < preceding-sibling::*/@code) and "
                             "not(@code < following-sibling::*/@code)]",
                             "ChannelParameters"),
              0);
    c_xml_nodeset_t* set = c_xml_getnodeset(document, query);
    ASSERT_NE(set, nullptr);
    ASSERT_EQ(set->count, 1);
    EXPECT_STREQ(c_xml_getattributevalue(set->nodes[0], "code", 1), "9");
    c_xml_freenodeset(set);
}

TEST_F(XmlTest, ElementLookupsByNameAndNamePath) {
    xmlNodePtr parameters = c_xml_getfirstchildrenelementfromname(root, "ServerParameters");
    ASSERT_NE(parameters, nullptr);
    EXPECT_EQ(c_xml_getfirstchildrenelementfromname(root, "BoardParameters"), nullptr); // not a child

    auto nameOf = [](xmlNodePtr node) {
        const char* name = node != nullptr ? c_xml_getattributevalue(node, "name", 0) : nullptr;
        return std::string(node == nullptr ? "(none)" : name == nullptr ? "(no name)" : name);
    };
    struct Case {
        xmlNodePtr parent;
        const char* path;
        std::string expected;
    } cases[] = {
        {root, "b", "first-b"},   // a single name: any descendant
        {root, "a/b/c", "found"}, // backtracks past the first a/b that has no c
        {root, "Deep/a/b", "first-b"},
        {root, "ServerParameters/BoardParameters/Gain", "gain"},
        {parameters, "ServerParameters", "(none)"}, // the parent itself is not below itself
        {root, "a/c", "(none)"},
        {root, "", "(none)"},
        {root, "a//b", "(none)"},
        {nullptr, "a", "(none)"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(nameOf(c_xml_getfirstdescendantelementfromname(c.parent, c.path)), c.expected) << c.path;
}

TEST_F(XmlTest, AttributeValuesAreOwnedByTheDocument) {
    xmlNodePtr threshold = c_xml_getfirstnodefromxpathquery(document, "//Threshold");
    ASSERT_NE(threshold, nullptr);
    const char* name = c_xml_getattributevalue(threshold, "name", 0);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "threshold mV & more");                             // an entity reference folded into the text
    EXPECT_EQ(c_xml_getattributevalue(threshold, "name", 0), name);        // the same text on every call
    EXPECT_STREQ(c_xml_getattributevalue(threshold, "kind", 0), "analog"); // default of the document type
    EXPECT_EQ(c_xml_getattributevalue(threshold, "missing", 1), nullptr);
    EXPECT_EQ(c_xml_getattributevalue(nullptr, "name", 0), nullptr);
}

TEST_F(XmlTest, CodeReaders) {
    struct Case {
        const char* element;
        int status; // 0 or non-zero
        double code;
    } cases[] = {
        {"Gain", 0, 3}, {"Threshold", 0, 16}, {"Polarity", 0, 2.5}, {"Window", 1, 0}, {"NoCode", 1, 0},
    };
    for (const Case& c : cases) {
        xmlNodePtr element = c_xml_getfirstdescendantelementfromname(root, c.element);
        ASSERT_NE(element, nullptr) << c.element;
        for (auto reader : {c_xml_getcodefromnode, c_xml_getcodefromnodechild}) {
            double code = -1;
            int status = reader(element, &code);
            EXPECT_EQ(status != 0, c.status != 0) << c.element;
            if (c.status == 0) {
                EXPECT_EQ(code, c.code) << c.element;
            }
        }
    }
    double code = -1;
    EXPECT_EQ(c_xml_getcodefromcodename(document, "ParameterValues/BOOLEANS", "TRUE", &code), 0);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(c_xml_getcodefromcodename(document, "ParameterValues/BOOLEANS", "FALSE", &code), 0);
    EXPECT_EQ(code, 0);
    EXPECT_NE(c_xml_getcodefromcodename(document, "ParameterValues/BOOLEANS", "MAYBE", &code), 0);
    EXPECT_NE(c_xml_getcodefromcodename(document, "ParameterValues/NOSUCH", "TRUE", &code), 0);
    EXPECT_NE(c_xml_getcodefromcodename(nullptr, "ParameterValues/BOOLEANS", "TRUE", &code), 0);
}

TEST(XmlText, SnprintfReportsTruncation) {
    char buffer[8];
    EXPECT_EQ(c_xml_snprintf(buffer, sizeof buffer, "%s", "1234567"), 7);
    EXPECT_STREQ(buffer, "1234567");
    EXPECT_LT(c_xml_snprintf(buffer, sizeof buffer, "%s", "12345678"), 0);
    EXPECT_LT(c_xml_snprintf(buffer, 0, "x"), 0);
}

TEST(Plugin, UnknownCodeNamesGiveNull) {
    // Whatever the shipped plug-in exports, a made-up name is not among it.
    EXPECT_EQ(c_xml_getfunctionpointerfromcodename(nullptr, "NoSuchFunctionInThePlugin"), nullptr);
    EXPECT_EQ(c_xml_getfunctionpointerfromcodename(nullptr, ""), nullptr);
}

} // namespace
