/*
 * The library loaded with the shipped "Definitions.xml": the codes, tables and
 * status texts it prepares, checked against the document read here on its own
 * (libxml2 directly), and the structure that the rest of the system relies on.
 */
#include <libxml/parser.h>
#include <libxml/xpath.h>
#include <stdint.h>
#include <stdlib.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ZarnDPPLayer.h"
#include "ZarnTypes_Status.h"

namespace {

struct CodeVariable {
    const char* codeName;
    const int32_t* variable;
};

const CodeVariable kCodeVariables[] = {
#define DPPL_PARAM_CODE(name) {"DPPL_PARAM_" #name, &DPPL_PARAM_##name},
#include "ZarnParamCodes.def"
#undef DPPL_PARAM_CODE
};

const char* const kCategories[] = {"BoardParameters",        "ChannelParameters",   "LVDSGroupParameters",
                                   "VirtualTraceParameters", "HVChannelParameters", "HVRangeParameters",
                                   "MonOutParameters",       "GroupParameters",     "VGAParameters"};

/* The shipped document, parsed independently of the library. */
class Document {
public:
    Document() : doc(xmlReadFile(MORVANE_DEFINITIONS_DIR "/Definitions.xml", nullptr, XML_PARSE_NONET)) {}
    ~Document() { xmlFreeDoc(doc); }

    /* The elements the query selects, in document order. */
    std::vector<xmlNodePtr> select(const std::string& query) const {
        std::vector<xmlNodePtr> nodes;
        xmlXPathContextPtr context = xmlXPathNewContext(doc);
        xmlXPathObjectPtr result = xmlXPathEvalExpression(BAD_CAST query.c_str(), context);
        if (result != nullptr && result->nodesetval != nullptr)
            for (int i = 0; i < result->nodesetval->nodeNr; i++)
                nodes.push_back(result->nodesetval->nodeTab[i]);
        xmlXPathFreeObject(result);
        xmlXPathFreeContext(context);
        return nodes;
    }

    static std::string attribute(xmlNodePtr node, const char* name) {
        xmlChar* value = xmlGetProp(node, BAD_CAST name);
        std::string text = value != nullptr ? (const char*)value : "<absent>";
        xmlFree(value);
        return text;
    }

    /* The decimal "code" of an element; fails the test when it is not one. */
    static long code(xmlNodePtr node) {
        std::string text = attribute(node, "code");
        char* end = nullptr;
        long value = strtol(text.c_str(), &end, 10);
        EXPECT_TRUE(!text.empty() && *end == '\0') << (const char*)node->name << " code='" << text << "'";
        return value;
    }

    static std::string name(xmlNodePtr node) { return (const char*)node->name; }

    xmlDocPtr doc;
};

class ShippedDefinitions : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(document.doc, nullptr); }
    Document document;
};

TEST_F(ShippedDefinitions, EveryCodeVariableHoldsTheCodeOfItsDocumentElement) {
    ASSERT_EQ(sizeof kCodeVariables / sizeof kCodeVariables[0], 230u);
    for (const CodeVariable& entry : kCodeVariables) {
        std::vector<xmlNodePtr> nodes = document.select(std::string("/Definitions/Parameters/*/") + entry.codeName);
        ASSERT_EQ(nodes.size(), 1u) << entry.codeName << " must be defined exactly once";
        EXPECT_EQ(*entry.variable, Document::code(nodes[0])) << entry.codeName;

        int32_t looked = -100;
        EXPECT_EQ(c_getParamCodeFromCodeName(entry.codeName, &looked), 0) << entry.codeName;
        EXPECT_EQ(looked, *entry.variable) << entry.codeName;
    }
}

/* Collections are sized from a category's smallest to its largest code, and
 * the category of a code is found by the range that holds it. */
TEST_F(ShippedDefinitions, CategoryCodesAreUniqueCompactAndDisjoint) {
    std::map<long, std::string> owners; /* first code of each category's range */
    std::map<long, long> lastOfFirst;
    for (const char* category : kCategories) {
        std::vector<xmlNodePtr> nodes = document.select(std::string("/Definitions/Parameters/") + category + "/*");
        ASSERT_FALSE(nodes.empty()) << category << " needs at least one parameter to size its collections";
        std::set<long> codes;
        for (xmlNodePtr node : nodes)
            EXPECT_TRUE(codes.insert(Document::code(node)).second) << category << ": code of " << Document::name(node);
        long first = *codes.begin(), last = *codes.rbegin();
        EXPECT_GE(first, 0) << category;
        EXPECT_EQ(last - first + 1, (long)codes.size()) << category << " has gaps between its codes";
        owners[first] = category;
        lastOfFirst[first] = last;
    }
    EXPECT_EQ(document.select("/Definitions/Parameters/*").size(), 9u);
    long previousLast = -1;
    for (const auto& [first, category] : owners) {
        EXPECT_GT(first, previousLast) << category << " overlaps the range before it";
        previousLast = lastOfFirst[first];
    }
}

TEST_F(ShippedDefinitions, SectionsOtherPartsOfTheSystemRelyOn) {
    for (const char* name : {"READONLY", "READWRITE", "WRITEONLY"})
        EXPECT_EQ(document.select(std::string("/Definitions/AccessTypes/") + name).size(), 1u) << name;

    std::vector<xmlNodePtr> types = document.select("/Definitions/ParameterTypes/*");
    std::set<long> typeCodes;
    for (xmlNodePtr node : types)
        typeCodes.insert(Document::code(node));
    EXPECT_EQ(typeCodes, (std::set<long>{0, 1}));

    /* Every derived unit names an existing base unit. */
    std::vector<xmlNodePtr> units = document.select("/Definitions/UnitsOfMeasurement/*");
    EXPECT_EQ(document.select("/Definitions/UnitsOfMeasurement/UOM_ADIM").size(), 1u);
    for (xmlNodePtr unit : units) {
        std::string base = Document::attribute(unit, "base");
        ASSERT_NE(base, "<absent>") << Document::name(unit);
        ASSERT_NE(Document::attribute(unit, "symbol"), "<absent>") << Document::name(unit);
        if (base.empty()) {
            EXPECT_EQ(Document::attribute(unit, "power"), "0") << Document::name(unit);
            continue;
        }
        std::vector<xmlNodePtr> baseUnit = document.select("/Definitions/UnitsOfMeasurement/" + base);
        ASSERT_EQ(baseUnit.size(), 1u) << Document::name(unit) << " names a missing base " << base;
        EXPECT_EQ(Document::attribute(baseUnit[0], "base"), "") << base << " is not a base unit";
    }

    /* Boolean attributes: false is code 0, true any other code. */
    for (auto [name, isTrue] : {std::pair{"TRUE", true}, {"FALSE", false}, {"ENABLED", true}, {"DISABLED", false}}) {
        std::vector<xmlNodePtr> value = document.select(std::string("/Definitions/ParameterValues/BOOLEANS/") + name);
        ASSERT_EQ(value.size(), 1u) << name;
        EXPECT_EQ(Document::code(value[0]) != 0, isTrue) << name;
    }
    for (const char* range : {"HV_RANGE_HPGE", "HV_RANGE_PMT", "HV_RANGE_SD"}) {
        std::vector<xmlNodePtr> value = document.select(std::string("/Definitions/ParameterValues/HV_RANGES/") + range);
        ASSERT_EQ(value.size(), 1u) << range;
        EXPECT_NE(Document::attribute(value[0], "name"), "<absent>") << range;
    }
    EXPECT_EQ(document.select("/Definitions/ParameterValues/START_MODES/START_MODE_FIRST_TRG").size(), 1u);

    /* List categories have distinct codes; every value has a code. */
    std::set<long> categoryCodes;
    for (xmlNodePtr category : document.select("/Definitions/ParameterValues/*"))
        EXPECT_TRUE(categoryCodes.insert(Document::code(category)).second) << Document::name(category);
    for (xmlNodePtr value : document.select("/Definitions/ParameterValues/*/*"))
        Document::code(value);

    std::set<long> families;
    for (xmlNodePtr family : document.select("/Definitions/Families/*"))
        EXPECT_TRUE(families.insert(Document::code(family)).second) << Document::name(family);
    EXPECT_EQ(families, (std::set<long>{0, 4, 5, 6, 7, 11, 12, 14, 16, 8560, 6111, 6122, 6133}));
}

TEST_F(ShippedDefinitions, LoadStateMatchesTheDocument) {
    const char* folder = getenv("DRAVIKDIR");
    EXPECT_STREQ(c_getBasePath(), folder != nullptr && folder[0] != '\0' ? folder : MORVANE_DEFINITIONS_DIR);
    ASSERT_NE(c_getLibraryDefinitions(), nullptr);

    for (xmlNodePtr node : document.select("/Definitions/AccessTypes/*"))
        EXPECT_EQ(c_getAccessTypeCode(Document::name(node).c_str()), Document::code(node) & 0xFF);
    for (xmlNodePtr node : document.select("/Definitions/UnitsOfMeasurement/*"))
        EXPECT_EQ(c_getUomCode(Document::name(node).c_str()), Document::code(node) & 0xFF);
    EXPECT_EQ(c_getAccessTypeCode("NO_SUCH_ACCESS"), 0xFF);
    EXPECT_EQ(c_getAccessTypeCode(nullptr), 0xFF);
    EXPECT_EQ(c_getUomCode("UOM_NO_SUCH_UNIT"), 0xFF);
    EXPECT_EQ(c_getUomCode(nullptr), 0xFF);
}

/* Code names are put into an XPath query: anything but a plain name, or a
 * query that would not fit, finds nothing rather than some other element. */
TEST_F(ShippedDefinitions, CodeNameLookupFindsOnlyThatName) {
    const std::string longName = "DPPL_PARAM_RECLEN" + std::string(600, 'X');
    for (const std::string& name : {std::string("DPPL_PARAM_NO_SUCH_PARAMETER"), std::string(""),
                                    std::string("DPPL_PARAM_RECLEN | /Definitions/Parameters/*/DPPL_PARAM_NABLT"),
                                    std::string("*"), std::string("DPPL_PARAM_RECLEN[1]"), longName}) {
        int32_t code = 1234;
        EXPECT_EQ(c_getParamCodeFromCodeName(name.c_str(), &code), -1) << name;
        EXPECT_EQ(code, 1234) << name;
    }
    int32_t code = 1234;
    EXPECT_EQ(c_getParamCodeFromCodeName(nullptr, &code), -1);
    EXPECT_EQ(code, 1234);
}

TEST(StatusTexts, DecodeTable) {
    struct Case {
        int32_t code;
        const char* text;
    };
    const Case cases[] = {
        {0, "Success"},
        {-1, "Invalid Channel Provided"},
        {-6, "Generic error"},
        {-27, "Board"},
        {-37, "LVDS Group"},
        {-53, "Error occurred in c_fetchBoardInfo: ZARN_DGTZ_OpenDigitizer2 failed (digitizer already open)"},
        {-56, "Communication error"},
        {-57, "Unknown error code"},
        {1, "Unknown error code"},
        {INT32_MIN, "Unknown error code"},
        {INT32_MAX, "Unknown error code"},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(c_decodeError(c.code), c.text) << c.code;
        EXPECT_STREQ(c_errorMessage(c.code), c.text) << c.code;
    }
    EXPECT_STREQ(c_decodeError(DPPL_ERR_LAST), "Communication error");
}

} // namespace
