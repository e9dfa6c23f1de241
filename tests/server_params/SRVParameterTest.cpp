/* One server parameter: the three kinds, their creation from the two server
 * definition files, get and set, and the list type of complex parameters. */
#include <libxml/parser.h>

#include <string>
#include <vector>

#include "ServerParamsSupport.h"

using namespace srvtest;

namespace {

constexpr uint32_t kNoIndex = SRV_PARAM_NO_INDEX;

TEST(ServerParamList, EveryNodeKnowsTheFirstAndTheLastNode) {
    int elements[3] = {1, 2, 3};
    List_t* list = List_create();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->first, nullptr);
    for (int& element : elements)
        ASSERT_EQ(List_add(&element, list), 0);

    std::vector<List_t*> nodes;
    for (List_t* node = list; node != nullptr; node = node->next)
        nodes.push_back(node);
    ASSERT_EQ(nodes.size(), 3u);
    for (size_t i = 0; i < nodes.size(); ++i) {
        EXPECT_EQ(nodes[i]->first, list);
        EXPECT_EQ(nodes[i]->last, nodes[2]);
        EXPECT_EQ(nodes[i]->prev, i == 0 ? nullptr : nodes[i - 1]);
        EXPECT_EQ(nodes[i]->data, &elements[i]);
    }

    EXPECT_EQ(List_add(nullptr, list), -1);
    EXPECT_EQ(nodes[2]->next, nullptr) << "a refused element leaves the list as it was";
    EXPECT_EQ(list->last, nodes[2]);
    EXPECT_EQ(List_add(&elements[0], nullptr), -2);

    List_free(&list);
    EXPECT_EQ(list, nullptr);
    List_free(&list); // a freed list stays harmless
}

/* A "Parameter" element of a ServerParams.xml snippet, below a category. */
class ParamsSnippet {
public:
    ParamsSnippet(const std::string& parameter, const std::string& category = "SRVChannelParameters") {
        std::string text =
            "<ServerParameters><" + category + ">" + parameter + "</" + category + "></ServerParameters>";
        doc_ = xmlReadMemory(text.data(), (int)text.size(), "ServerParams.xml", nullptr, XML_PARSE_NONET);
    }
    ~ParamsSnippet() { xmlFreeDoc(doc_); }
    ParamsSnippet(const ParamsSnippet&) = delete;
    ParamsSnippet& operator=(const ParamsSnippet&) = delete;
    xmlNodePtr node() const {
        xmlNodePtr category = xmlDocGetRootElement(doc_)->children;
        for (xmlNodePtr n = category->children; n != nullptr; n = n->next)
            if (n->type == XML_ELEMENT_NODE)
                return n;
        return nullptr;
    }

private:
    xmlDocPtr doc_;
};

class ServerParameter : public FakeBoardTest {
protected:
    std::string folder() const override { return fixture("units"); }

    /* Creates the parameter of a snippet for channel `ch` (vector slot 1). */
    SRVParameter_t* create(const std::string& parameter, uint32_t ch = 0, int32_t level = 1,
                           const std::string& category = "SRVChannelParameters") {
        ParamsSnippet snippet(parameter, category);
        uint32_t vector[SRV_PARAM_INDEX_SLOTS] = {kNoIndex, ch, 0, 0};
        return SRVParameter_Create(dig, snippet.node(), vector, level);
    }

    std::string log() { return readLog("SRVParameterLog.txt"); }

    struct Owned {
        SRVParameter_t* param;
        ~Owned() { SRVParameter_Free(param); }
    };
};

TEST_F(ServerParameter, SimpleParameterBindsItsOwnersLibraryParameter) {
    Owned p{create(R"(<Parameter codename="PARAM_THR"/>)", 1)};
    ASSERT_NE(p.param, nullptr) << log();
    EXPECT_EQ(p.param->type, SRV_PARAM_TYPE_SIMPLE);
    EXPECT_EQ(p.param->utilParam, channelParam(1, DPPL_PARAM_CH_THRESHOLD));
    EXPECT_EQ(p.param->paramValueList, nullptr);
    EXPECT_EQ(p.param->value, 101);
    EXPECT_EQ(p.param->code, 10);
    EXPECT_STREQ(p.param->name, "Threshold");
    EXPECT_STREQ(p.param->codename, "PARAM_THR");
    EXPECT_EQ(p.param->level, 1);
    // Only the slots up to the level are copied from the vector.
    EXPECT_EQ(p.param->index[0], kNoIndex);
    EXPECT_EQ(p.param->index[1], 1u);
    EXPECT_EQ(p.param->index[2], kNoIndex);
    EXPECT_EQ(p.param->index[3], kNoIndex);
    EXPECT_EQ(SRVParameter_GetType(p.param), SRV_PARAM_TYPE_SIMPLE);
    EXPECT_EQ(SRVParameter_GetType(nullptr), -1);
}

TEST_F(ServerParameter, SpectrumParameterBindsTheChannelOfItsVector) {
    Owned p{create(R"(<Parameter codename="PARAM_SPECTRUM_THR"/>)", 1, 2, "SRVEnergySpectrumParameters")};
    ASSERT_NE(p.param, nullptr) << log();
    EXPECT_EQ(p.param->utilParam, channelParam(1, DPPL_PARAM_CH_THRESHOLD));
}

TEST_F(ServerParameter, CodeAndNameOfServerParamsWin) {
    Owned p{create(R"(<Parameter codename="PARAM_THR" code="77" name="Own name"/>)")};
    ASSERT_NE(p.param, nullptr) << log();
    EXPECT_EQ(p.param->code, 77);
    EXPECT_STREQ(p.param->name, "Own name");
}

TEST_F(ServerParameter, ServerOnlyParameterLivesInSoftware) {
    ParamsSnippet snippet(R"(<Parameter codename="PARAM_SOFT" utilparam="" min="0" max="10" incr="1" defval="3"/>)");
    Owned p{SRVParameter_Create(dig, snippet.node(), nullptr, 1)};
    ASSERT_NE(p.param, nullptr) << log();
    EXPECT_EQ(p.param->type, SRV_PARAM_TYPE_SERVER_ONLY);
    ASSERT_NE(p.param->utilParam, nullptr);
    EXPECT_EQ(p.param->utilParam->owner, nullptr);
    EXPECT_EQ(p.param->value, 3);
    for (uint32_t slot : p.param->index)
        EXPECT_EQ(slot, kNoIndex) << "no vector: every slot unset";

    EXPECT_EQ(SRVParameter_SetValue(dig, p.param, 7.6), 0);
    EXPECT_EQ(p.param->value, 8) << "rounded to the step";
    EXPECT_EQ(SRVParameter_SetValue(dig, p.param, 50), 0);
    EXPECT_EQ(p.param->value, 10) << "clamped to the range";
    double value = 0;
    EXPECT_EQ(SRVParameter_GetValue(dig, p.param, &value), 0);
    EXPECT_EQ(value, 10);
    EXPECT_NE(log().find("Set Server Parameter as a simple parameter."), std::string::npos);
    EXPECT_NE(log().find("Get Server Parameter as a simple parameter."), std::string::npos);
}

TEST_F(ServerParameter, SimpleSetKeepsWhatTheLibraryReadBack) {
    Owned p{create(R"(<Parameter codename="PARAM_THR"/>)")};
    ASSERT_NE(p.param, nullptr) << log();
    EXPECT_EQ(SRVParameter_SetValue(dig, p.param, 5000), 0);
    EXPECT_EQ(p.param->value, 1000) << "the clamped value, not the one asked for";

    // A get always asks the library; it leaves the cache alone.
    p.param->utilParam->value = 42;
    double value = 0;
    EXPECT_EQ(SRVParameter_GetValue(dig, p.param, &value), 0);
    EXPECT_EQ(value, 42);
    EXPECT_EQ(p.param->value, 1000);

    // A refused write keeps the cache.
    dig->acqStatus = ACQSTATUS_RUNNING;
    EXPECT_EQ(SRVParameter_SetValue(dig, p.param, 10), -1);
    EXPECT_EQ(p.param->value, 1000);
}

TEST_F(ServerParameter, ComplexDefaultIsWrittenAtCreation) {
    c_Parameter_t* selfTrigger = channelParam(0, DPPL_PARAM_CH_SELF_TRG_ENABLE);
    c_Parameter_t* enabled = channelParam(0, DPPL_PARAM_CH_ENABLED);
    struct Case {
        const char* codename;
        double expected; // the default: "defval", else the first value
    } cases[] = {{"PARAM_TRIGGER", 1}, {"PARAM_TRIGGER_NO_DEFAULT", 1}};
    for (const Case& c : cases) {
        selfTrigger->value = 0;
        Owned p{create(std::string("<Parameter codename=\"") + c.codename + "\"/>")};
        ASSERT_NE(p.param, nullptr) << c.codename << log();
        EXPECT_EQ(p.param->type, SRV_PARAM_TYPE_COMPLEX);
        EXPECT_EQ(p.param->utilParam, nullptr);
        ASSERT_NE(p.param->paramValueList, nullptr);
        EXPECT_EQ(p.param->value, c.expected) << c.codename;
        EXPECT_EQ(selfTrigger->value, c.expected) << c.codename;
    }
    EXPECT_EQ(enabled->value, 1) << "every binding of the default is written";
    EXPECT_EQ(channelParam(1, DPPL_PARAM_CH_ENABLED)->value, 0) << "only the owner's channel";
}

TEST_F(ServerParameter, ComplexSetWritesTheBindingsOfExactlyOneValue) {
    Owned p{create(R"(<Parameter codename="PARAM_TRIGGER"/>)")};
    ASSERT_NE(p.param, nullptr) << log();
    c_Parameter_t* selfTrigger = channelParam(0, DPPL_PARAM_CH_SELF_TRG_ENABLE);
    c_Parameter_t* enabled = channelParam(0, DPPL_PARAM_CH_ENABLED);

    EXPECT_EQ(SRVParameter_SetValue(dig, p.param, 0), 0);
    EXPECT_EQ(p.param->value, 0);
    EXPECT_EQ(selfTrigger->value, 0);
    EXPECT_EQ(enabled->value, 0);

    EXPECT_EQ(SRVParameter_SetValue(dig, p.param, 1 - 1e-9), -1) << "no tolerance";
    EXPECT_EQ(selfTrigger->value, 0);
    EXPECT_EQ(p.param->value, 0);

    // A get gives the value chosen last; the library is not asked.
    selfTrigger->value = 1;
    double value = -1;
    EXPECT_EQ(SRVParameter_GetValue(dig, p.param, &value), 0);
    EXPECT_EQ(value, 0);
}

TEST_F(ServerParameter, ComplexSetStopsAtTheFirstFailingBinding) {
    Owned p{create(R"(<Parameter codename="PARAM_TRIGGER"/>)")};
    ASSERT_NE(p.param, nullptr) << log();
    c_Parameter_t* selfTrigger = channelParam(0, DPPL_PARAM_CH_SELF_TRG_ENABLE);
    c_Parameter_t* enabled = channelParam(0, DPPL_PARAM_CH_ENABLED);
    selfTrigger->acqon = 1; // the first binding may be set while acquiring, the second not
    dig->acqStatus = ACQSTATUS_RUNNING;

    EXPECT_EQ(SRVParameter_SetValue(dig, p.param, 0), -2);
    EXPECT_EQ(selfTrigger->value, 0) << "a binding written before the failure stays written";
    EXPECT_EQ(enabled->value, 1);
    EXPECT_EQ(p.param->value, 1) << "the cache keeps the value chosen before";
    EXPECT_NE(log().find("Can't set utils parameter 'DPPL_PARAM_CH_ENABLED' to value '0.000'"), std::string::npos);
}

TEST_F(ServerParameter, GetAndSetRefuseMissingArgumentsAndUnknownKinds) {
    Owned p{create(R"(<Parameter codename="PARAM_THR"/>)")};
    ASSERT_NE(p.param, nullptr) << log();
    double value = 0;
    EXPECT_EQ(SRVParameter_GetValue(nullptr, p.param, &value), -1);
    EXPECT_EQ(SRVParameter_SetValue(nullptr, p.param, 1), -1);
    EXPECT_EQ(SRVParameter_GetValue(dig, nullptr, &value), -2);
    EXPECT_EQ(SRVParameter_SetValue(dig, nullptr, 1), -2);
    p.param->type = 7;
    EXPECT_EQ(SRVParameter_GetValue(dig, p.param, &value), -3);
    EXPECT_EQ(SRVParameter_SetValue(dig, p.param, 1), -3);
    p.param->type = SRV_PARAM_TYPE_SIMPLE;
}

TEST_F(ServerParameter, LaterUtilparamReplacesTheKindBuiltFirst) {
    // The definition builds a complex parameter, the element a simple one.
    Owned simple{create(R"(<Parameter codename="PARAM_TRIGGER" utilparam="DPPL_PARAM_CH_THRESHOLD"/>)")};
    ASSERT_NE(simple.param, nullptr) << log();
    EXPECT_EQ(simple.param->type, SRV_PARAM_TYPE_SIMPLE);
    EXPECT_EQ(simple.param->paramValueList, nullptr);
    EXPECT_EQ(simple.param->utilParam, channelParam(0, DPPL_PARAM_CH_THRESHOLD));

    // The definition binds a library parameter, the element chooses among values.
    Owned complex{create(R"(<Parameter codename="PARAM_THR" utilparam="DPPL_PARAM_INVALID" category="BOOLEANS">
                              <Value codename="TRUE"><utilparam codename="DPPL_PARAM_CH_ENABLED" value="TRUE"/></Value>
                            </Parameter>)")};
    ASSERT_NE(complex.param, nullptr) << log();
    EXPECT_EQ(complex.param->type, SRV_PARAM_TYPE_COMPLEX);
    EXPECT_EQ(complex.param->utilParam, nullptr);
    EXPECT_NE(complex.param->paramValueList, nullptr);
    EXPECT_EQ(channelParam(0, DPPL_PARAM_CH_ENABLED)->value, 1);
}

TEST_F(ServerParameter, FailedCreationsNameTheirCause) {
    struct Case {
        const char* element;
        const char* message;
        int32_t level;
    } cases[] = {
        {R"(<Parameter/>)", "node Parameter misses codename specification.", 1},
        {R"(<Parameter codename="PARAM_MISSING"/>)",
         "can't find descendant 'ServerParameters/SRVChannelParameters/PARAM_MISSING' from definition file.", 1},
        {R"(<Parameter codename="PARAM_NO_CODE"/>)", "node 'PARAM_NO_CODE' misses mandatory attribute code.", 1},
        {R"(<Parameter codename="PARAM_BAD_CODE"/>)", "can't read integer code from parameter 'PARAM_BAD_CODE'.", 1},
        {R"(<Parameter codename="PARAM_NO_KIND"/>)", "node 'PARAM_NO_KIND' misses mandatory attribute utilparam.", 1},
        {R"(<Parameter codename="PARAM_GATE"/>)",
         "can't create simple server parameter 'PARAM_GATE' from utils param 'DPPL_PARAM_CH_GATE'.", 1},
        {R"(<Parameter codename="PARAM_UNKNOWN"/>)",
         "can't find parameter 'DPPL_PARAM_NOT_A_PARAMETER' in definitions file.", 1},
        {R"(<Parameter codename="PARAM_SOFT" utilparam=""/>)", "can't create server parameter 'PARAM_SOFT'.", 1},
        {R"(<Parameter codename="PARAM_TRIGGER_OUTSIDE_LIST"/>)", "'CH_SELF_TRG_ENABLE' doesn't allow a value '2.00'",
         1},
        {R"(<Parameter codename="PARAM_TRIGGER_UNBOUND"/>)",
         "Invalid binded parameters list created. This probably means that value 'FALSE' of parameter "
         "'PARAM_TRIGGER_UNBOUND' specifies invalid internal values.",
         1},
        {R"(<Parameter codename="PARAM_THR"/>)", "Invalid index level 4 for server parameter 'PARAM_THR'.", 4},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(create(c.element, 0, c.level), nullptr) << c.element;
        EXPECT_NE(log().find(c.message), std::string::npos) << c.element << "\n" << log();
    }
}

} // namespace
