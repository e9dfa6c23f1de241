/*
 * Building parameters from their two XML elements, index masks, collections
 * and categories. Definitions and value lists come from the fixture
 * Definitions.xml (DRAVIKDIR); the elements under test are XML snippets.
 */
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "ParamTestSupport.h"
#include "ZarnParameters_Collections.h"

using paramtest::Xml;

namespace {

/* Builds a parameter from a definition element and a board element, the
 * latter inside a category element. */
struct Built {
    Xml def;
    Xml board;
    c_Parameter_t* param;
    Built(const std::string& defText, const std::string& boardText, uint32_t index = 0, void* owner = NULL)
        : def(defText), board("<ChannelParameters>" + boardText + "</ChannelParameters>"),
          param(c_pfromnode(owner, board.firstChild(), def.root(), index)) {}
    ~Built() { c_pdelete(param); }
};

const char* kRangeDef = R"(<C_THR code="202" type="RANGE" name="Threshold" regaddr="0x1060"/>)";

std::string listBoard(const std::string& attributes, const std::string& children) {
    return "<Parameter codename=\"P_LIST\" category=\"COLOURS\" " + attributes + ">" + children + "</Parameter>";
}
const char* kListDef = R"(<P_LIST code="7" type="LIST" name="Colour" regaddr="0x8070"/>)";

} // namespace

TEST(ParameterBuild, RangeParameterTakesEveryAttributeOfBothElements) {
    int owner = 0;
    Built b(R"x(<C_GATE code=" 203xyz" type="RANGE" name="Gate" regaddrexpr="0x1064 + idx * 0x100"
                maskexpr="0xFF &lt;&lt; ((idx &amp; 3) * 8)" accesstype="WRITEONLY" uom="UOM_NANOSECONDS"
                acqon="TRUE" hvon="FALSE" hvconfig="TRUE" doubleres="TRUE" gen1hidden="FALSE"/>)x",
            R"(<Parameter codename="C_GATE" idxmask="0x2" min="-inf" max="100.5" incr="0.5" defval="2.5"/>)", 0x101,
            &owner);
    c_Parameter_t* p = b.param;
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->code, 203);
    EXPECT_STREQ(p->codename, "C_GATE");
    EXPECT_STREQ(p->name, "Gate");
    EXPECT_EQ(p->type, 0);
    EXPECT_EQ(p->regaddr, 0x1064u + 0x101u * 0x100u);
    EXPECT_EQ(p->mask, 0xFF00u);
    EXPECT_EQ(p->accesstype, 2);
    EXPECT_EQ(p->uom, 4);
    EXPECT_STREQ(p->unitSymbol, "s");
    EXPECT_STREQ(p->unitBase, "UOM_SECONDS");
    EXPECT_STREQ(p->unitName, "UOM_NANOSECONDS");
    EXPECT_EQ(p->unitPower, -9);
    EXPECT_EQ(p->acqon, 1);
    EXPECT_EQ(p->hvon, 0);
    EXPECT_EQ(p->hvconfig, 1);
    EXPECT_EQ(p->doubleres, 1);
    EXPECT_EQ(p->gen1hidden, 0);
    EXPECT_TRUE(std::isinf(p->min) && p->min < 0);
    EXPECT_DOUBLE_EQ(p->max, 100.5);
    EXPECT_DOUBLE_EQ(p->incr, 0.5);
    EXPECT_DOUBLE_EQ(p->value, 2.5);
    EXPECT_DOUBLE_EQ(p->preferred, 2.5);
    EXPECT_EQ(p->index, 0x01); /* low byte of the instance index */
    EXPECT_EQ(p->owner, &owner);
    EXPECT_EQ(p->listCategory, -1);
    EXPECT_EQ(p->valtoreg, nullptr);
    EXPECT_EQ(p->regtoval, nullptr);
}

TEST(ParameterBuild, CreationDefaults) {
    c_Parameter_t* p = c_pnew(NULL);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->mask, 0xFFFFFFFFu);
    EXPECT_EQ(p->hvon, 1);
    EXPECT_EQ(p->gen1hidden, -1);
    EXPECT_EQ(p->accesstype, 1); /* READWRITE */
    EXPECT_EQ(p->uom, 0);        /* UOM_ADIM */
    EXPECT_EQ(p->code, -1);
    EXPECT_EQ(p->listCategory, -1);
    EXPECT_EQ(p->owner, nullptr);
    c_pdelete(p);
    c_pdelete(NULL);
}

TEST(ParameterBuild, EdgeCasesThatStillBuild) {
    { /* regaddr 0: software-only */
        Built b(R"(<P_SOFT code="0" type="RANGE" name="Soft" regaddr="0"/>)",
                R"(<Parameter codename="P_SOFT" min="0" max="1" incr="0" defval="0"/>)");
        ASSERT_NE(b.param, nullptr);
        EXPECT_EQ(b.param->regaddr, 0u);
    }
    { /* a mask of 0 builds (with a warning) */
        Built b(R"(<P_Z code="10" type="RANGE" name="Z" regaddr="0x8078" mask="0"/>)",
                R"(<Parameter codename="P_Z" min="0" max="1" incr="0" defval="0"/>)");
        ASSERT_NE(b.param, nullptr);
        EXPECT_EQ(b.param->mask, 0u);
    }
    { /* octal address, the mask in the board element */
        Built b(R"(<P_O code="1" type="RANGE" name="O" regaddr="010"/>)",
                R"(<Parameter codename="P_O" mask="0xF0" min="0" max="1" incr="0" defval="0"/>)");
        ASSERT_NE(b.param, nullptr);
        EXPECT_EQ(b.param->regaddr, 8u);
        EXPECT_EQ(b.param->mask, 0xF0u);
    }
    { /* read-only range without defval: value 0, below min only warns */
        Built b(R"(<P_RO code="5" type="RANGE" name="RO" regaddr="0x8068" accesstype="READONLY"/>)",
                R"(<Parameter codename="P_RO" min="1" max="10" incr="1"/>)");
        ASSERT_NE(b.param, nullptr);
        EXPECT_EQ(b.param->value, 0);
    }
    { /* a name in both elements is joined within 47 characters */
        Built b(
            R"(<P_N code="1" type="RANGE" name="Channel " regaddr="0"/>)",
            R"(<Parameter codename="P_N" name="gate that is described with far too many words here" min="0" max="1" incr="0" defval="0"/>)");
        ASSERT_NE(b.param, nullptr);
        EXPECT_EQ(strlen(b.param->name), 47u);
        EXPECT_EQ(std::string(b.param->name).rfind("Channel gate", 0), 0u);
    }
    { /* a code name of 48 characters or more is cropped to 47 */
        std::string longName(60, 'Q');
        Built b("<" + longName + R"( code="1" type="RANGE" name="Q" regaddr="0"/>)",
                "<Parameter codename=\"" + longName + R"(" min="0" max="1" incr="0" defval="0"/>)");
        ASSERT_NE(b.param, nullptr);
        EXPECT_EQ(std::string(b.param->codename), std::string(47, 'Q'));
    }
    { /* a unit whose power is not a number keeps its code, the texts stay empty */
        Built b(R"(<P_U code="1" type="RANGE" name="U" regaddr="0" uom="UOM_BROKEN"/>)",
                R"(<Parameter codename="P_U" min="0" max="1" incr="0" defval="0"/>)");
        ASSERT_NE(b.param, nullptr);
        EXPECT_EQ(b.param->uom, 9);
        EXPECT_STREQ(b.param->unitName, "");
    }
    { /* a range function fills the range; the attributes become optional */
        Built b(R"(<P_R code="1" type="RANGE" name="R" regaddr="0"/>)",
                R"(<Parameter codename="P_R" rangedef="TestRangeDef"/>)");
        ASSERT_NE(b.param, nullptr);
        EXPECT_EQ(b.param->min, 1);
        EXPECT_EQ(b.param->max, 9);
        EXPECT_EQ(b.param->value, 3);
    }
    { /* a board element may carry the whole definition, and its attributes win */
        Built b(R"(<P_B code="3" accesstype="READWRITE" acqon="TRUE"/>)",
                R"x(<Parameter codename="P_B" type="LIST" name="Board-defined" regaddrexpr="0x1070 | (idx &lt;&lt; 8)"
                    accesstype="READONLY" acqon="FALSE" category="COLOURS"><ParamValue codename="RED"/></Parameter>)x",
                2);
        ASSERT_NE(b.param, nullptr);
        EXPECT_EQ(b.param->code, 3);
        EXPECT_EQ(b.param->type, 1);
        EXPECT_EQ(b.param->regaddr, 0x1270u);
        EXPECT_EQ(b.param->accesstype, 0);
        EXPECT_EQ(b.param->acqon, 0);
    }
    { /* server-only parameters: no owner, same binding */
        Built b(R"(<P_S code="1" type="RANGE" name="S" regaddr="0" setfcn="TestSetDoubled"/>)",
                R"(<Parameter codename="P_S" min="0" max="1" incr="0" defval="0"/>)", C_PARAM_NO_INDEX, NULL);
        ASSERT_NE(b.param, nullptr);
        EXPECT_NE(b.param->setfcn, nullptr);
        EXPECT_EQ(b.param->index, 0xFF);
    }
}

/* Every malformed or inconsistent definition fails the parameter; none may
 * crash or leak. */
TEST(ParameterBuild, MalformedDefinitionsFail) {
    struct Case {
        const char* what;
        std::string def;
        std::string board;
    };
    const std::string range = R"( min="0" max="1" incr="0" defval="0")";
    const Case cases[] = {
        {"no codename", kRangeDef, R"(<Parameter min="0" max="1" incr="0" defval="0"/>)"},
        {"no type", R"(<X code="1" name="X" regaddr="0"/>)", "<Parameter codename=\"X\"" + range + "/>"},
        {"no code", R"(<X type="RANGE" name="X" regaddr="0"/>)", "<Parameter codename=\"X\"" + range + "/>"},
        {"no name", R"(<X type="RANGE" code="1" regaddr="0"/>)", "<Parameter codename=\"X\"" + range + "/>"},
        {"no address", R"(<X type="RANGE" code="1" name="X"/>)", "<Parameter codename=\"X\"" + range + "/>"},
        {"unknown type", R"(<X type="CURVE" code="1" name="X" regaddr="0"/>)",
         "<Parameter codename=\"X\"" + range + "/>"},
        {"type of no kind", R"(<X type="TABLE" code="1" name="X" regaddr="0"/>)",
         "<Parameter codename=\"X\"" + range + "/>"},
        {"code not a number", R"(<X type="RANGE" code="abc" name="X" regaddr="0"/>)",
         "<Parameter codename=\"X\"" + range + "/>"},
        {"address not a number", R"(<X type="RANGE" code="1" name="X" regaddr="zz"/>)",
         "<Parameter codename=\"X\"" + range + "/>"},
        {"two addresses", R"(<X type="RANGE" code="1" name="X" regaddr="0x10"/>)",
         "<Parameter codename=\"X\" regaddrexpr=\"0x20\"" + range + "/>"},
        {"two masks", R"(<X type="RANGE" code="1" name="X" regaddr="0x10" mask="0xF"/>)",
         "<Parameter codename=\"X\" maskexpr=\"0xF0\"" + range + "/>"},
        {"address expression of 0", R"(<X type="RANGE" code="1" name="X" regaddrexpr="idx * 4"/>)",
         "<Parameter codename=\"X\"" + range + "/>"},
        {"malformed address expression", R"(<X type="RANGE" code="1" name="X" regaddrexpr="0x10 +"/>)",
         "<Parameter codename=\"X\"" + range + "/>"},
        {"address expression dividing by 0", R"(<X type="RANGE" code="1" name="X" regaddrexpr="16 / idx"/>)",
         "<Parameter codename=\"X\"" + range + "/>"},
        {"malformed mask expression", R"(<X type="RANGE" code="1" name="X" regaddr="0x10" maskexpr="nope"/>)",
         "<Parameter codename=\"X\"" + range + "/>"},
        {"unknown boolean", R"(<X type="RANGE" code="1" name="X" regaddr="0" acqon="MAYBE"/>)",
         "<Parameter codename=\"X\"" + range + "/>"},
        {"unknown unit", R"(<X type="RANGE" code="1" name="X" regaddr="0" uom="UOM_PARSEC"/>)",
         "<Parameter codename=\"X\"" + range + "/>"},
        {"unknown access type", R"(<X type="RANGE" code="1" name="X" regaddr="0" accesstype="SOMETIMES"/>)",
         "<Parameter codename=\"X\"" + range + "/>"},
        {"unexported converter", R"(<X type="RANGE" code="1" name="X" regaddr="0" valtoreg="NoSuchFunction"/>)",
         "<Parameter codename=\"X\"" + range + "/>"},
        {"unexported preset", R"(<X type="RANGE" code="1" name="X" regaddr="0" preset="NoSuchFunction"/>)",
         "<Parameter codename=\"X\"" + range + "/>"},
        {"empty swcheck", R"(<X type="RANGE" code="1" name="X" regaddr="0" swcheck=""/>)",
         "<Parameter codename=\"X\"" + range + "/>"},
        {"min not a number", kRangeDef, R"(<Parameter codename="C_THR" min="low" max="1" incr="0" defval="0"/>)"},
        {"max missing", kRangeDef, R"(<Parameter codename="C_THR" min="0" incr="0" defval="0"/>)"},
        {"defval missing", kRangeDef, R"(<Parameter codename="C_THR" min="0" max="1" incr="0"/>)"},
        {"range function missing", kRangeDef, R"(<Parameter codename="C_THR" rangedef="NoSuchFunction"/>)"},
        {"range function empty", kRangeDef, R"(<Parameter codename="C_THR" rangedef=""/>)"},
        {"list without category", kListDef,
         R"(<Parameter codename="P_LIST" defval="RED"><ParamValue codename="RED"/></Parameter>)"},
        {"unknown list category", kListDef,
         R"(<Parameter codename="P_LIST" category="SHAPES" defval="RED"><ParamValue codename="RED"/></Parameter>)"},
        {"list value without codename", kListDef, listBoard(R"(defval="RED")", R"(<ParamValue regvalue="1"/>)")},
        {"list value not in its category", kListDef,
         listBoard(R"(defval="RED")", R"(<ParamValue codename="PURPLE"/>)")},
        {"regvalue not a number", kListDef,
         listBoard(R"(defval="RED")", R"(<ParamValue codename="RED" regvalue="one"/>)")},
        {"default not in the list", kListDef, listBoard(R"(defval="BLUE")", R"(<ParamValue codename="RED"/>)")},
        {"no default", kListDef, listBoard("", R"(<ParamValue codename="RED"/>)")},
        {"values function missing", kListDef,
         listBoard(R"(defval="RED")", R"(<ValuesDefinitionFunction codename="NoSuchFunction"/>)")},
        {"values function without name", kListDef, listBoard(R"(defval="RED")", R"(<ValuesDefinitionFunction/>)")},
        {"values function overruns the list", kListDef,
         listBoard("", R"(<ValuesDefinitionFunction codename="TestValuesDefOverrun"/>)")},
    };
    for (const Case& c : cases) {
        Built b(c.def, c.board);
        EXPECT_EQ(b.param, nullptr) << c.what;
    }
    { /* the type reported is the one applied: the board element's */
        paramtest::LogCapture log;
        Built b(R"(<X type="RANGE" code="1" name="X" regaddr="0"/>)",
                "<Parameter codename=\"X\" type=\"TABLE\"" + range + "/>");
        EXPECT_EQ(b.param, nullptr);
        EXPECT_TRUE(log.has("parameter 'X' specifies an invalid parameter type 'TABLE'."));
    }
}

/* Each attribute's rule logs its own message; the walk stops at the first
 * attribute that fails, in document order (the definition element's first). */
TEST(ParameterBuild, AttributeFailuresLogTheirRuleAndStopTheWalk) {
    struct Case {
        std::string def;
        std::string board;
        bool builds;
        const char* message;
        const char* absent; /* a later attribute's message, or nullptr */
    };
    const std::string range = R"( min="0" max="1" incr="0" defval="0")";
    const std::string board = "<Parameter codename=\"X\"" + range + "/>";
    const Case cases[] = {
        {R"(<X type="RANGE" code="1" name="X" regaddr="0x10"/>)",
         "<Parameter codename=\"X\" regaddrexpr=\"0x20\"" + range + "/>", false,
         "parameter 'X' already specifies an address.", nullptr},
        {R"(<X type="RANGE" code="1" name="X" regaddr="0x10" mask="0xF"/>)",
         "<Parameter codename=\"X\" maskexpr=\"0xF0\"" + range + "/>", false, "parameter 'X' already specifies a mask.",
         nullptr},
        {R"(<X type="RANGE" code="abc" name="X" regaddr="zz"/>)", board, false,
         "can't read integer code from node named X.", "Parse of regaddr"},
        {R"(<X type="RANGE" code="1" name="X" regaddr="zz" mask="zz"/>)", board, false,
         "Parse of regaddr 'zz' from parameter 'X' failed.", "Parse of mask"},
        {R"(<X type="RANGE" code="1" name="X" regaddrexpr="idx * 4"/>)", board, false,
         "parameter 'X' specifies an invalid regaddr 'idx * 4'.", nullptr},
        {R"(<X type="RANGE" code="1" name="X" regaddrexpr="0x10 +"/>)", board, false,
         "parameter 'X' specifies an invalid register address expression '0x10 +'.", nullptr},
        {R"(<X type="RANGE" code="1" name="X" regaddr="0x10" mask="zz"/>)", board, false,
         "Parse of mask 'zz' from parameter 'X' failed.", nullptr},
        {R"(<X type="RANGE" code="1" name="X" regaddr="0x10" maskexpr="nope"/>)", board, false,
         "parameter 'X' specifies an invalid register address expression 'nope'.", nullptr},
        {R"(<X type="RANGE" code="1" name="X" regaddr="0" swcheck=""/>)", board, false,
         "Parameter 'X' requires a missing function 'NULL' to check whether it is software-only.", nullptr},
        {R"(<X type="RANGE" code="1" name="X" regaddr="0" swcheck="NoSuchFunction"/>)", board, false,
         "Parameter 'X' requires a missing function 'NoSuchFunction' to check whether it is software-only.", nullptr},
        {R"(<X type="RANGE" code="1" name="X" regaddr="0x10" mask="0"/>)", board, true,
         "WARNING ZarnParameters:", nullptr},
        {R"(<X type="RANGE" code="1" name="X" regaddr="0x10" mask="0"/>)", board, true,
         "parameter 'X' specifies a mask = 0x0.", nullptr},
    };
    for (const Case& c : cases) {
        paramtest::LogCapture log;
        Built b(c.def, c.board);
        EXPECT_EQ(b.param != nullptr, c.builds) << c.message;
        EXPECT_TRUE(log.has(c.message)) << c.message << "\n" << log.text();
        if (c.absent != nullptr)
            EXPECT_FALSE(log.has(c.absent)) << log.text();
    }
}

TEST(ParameterBuild, DefinitionFunctionErrorsFailTheParameter) {
    paramtest::plugin().rangeResult = -17;
    {
        Built b(kRangeDef, R"(<Parameter codename="C_THR" rangedef="TestRangeDef"/>)");
        EXPECT_EQ(b.param, nullptr);
    }
    paramtest::plugin().rangeResult = 0;
    paramtest::plugin().valuesResult = -9;
    {
        Built b(kListDef, listBoard("", R"(<ValuesDefinitionFunction codename="TestValuesDef"/>)"));
        EXPECT_EQ(b.param, nullptr);
    }
    paramtest::plugin().valuesResult = 0;
}

TEST(ParameterBuild, ListParameterEntriesAndDefaults) {
    Built b(kListDef, listBoard(R"(defval="GREEN")", R"(
        <ParamValue codename="RED" regvalue="0x10"/>
        <ParamValue codename="GREEN" regvalue="020"/>
        <ParamValue codename="BLUE"/>
        <ParamValue codename="COLD"/>
        <ParamValue codename="A_VALUE_WHOSE_CODE_NAME_IS_FAR_LONGER_THAN_FORTY_SEVEN"/>
        <Ignored codename="RED"/>)"));
    c_Parameter_t* p = b.param;
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->type, 1);
    EXPECT_EQ(p->listCategory, 0x11);
    ASSERT_EQ(p->count, 5);
    EXPECT_EQ(p->values[0].value, 0);
    EXPECT_EQ(p->values[0].regvalue, 0x10u);
    EXPECT_STREQ(p->values[0].name, "Red");
    EXPECT_EQ(p->values[1].regvalue, 16u);   /* octal */
    EXPECT_STREQ(p->values[2].name, "BLUE"); /* no display name: the code name serves */
    EXPECT_EQ(p->values[2].regvalue, 2u);    /* no regvalue: the value */
    EXPECT_EQ(p->values[3].value, -2);
    EXPECT_EQ(p->values[3].regvalue, 0xFFFFFFFEu); /* a negative value wraps, defined */
    EXPECT_EQ(strlen(p->values[4].codename), 47u);
    EXPECT_EQ(p->value, 1);
    EXPECT_EQ(p->preferred, 1);
    EXPECT_EQ(p->leaveAsIs, 0);
    EXPECT_EQ(p->valtoreg, &GENERIC_ListValToReg);
    EXPECT_EQ(p->regtoval, &GENERIC_ListRegToVal);
}

TEST(ParameterBuild, ListLimitsAndSpecialDefaults) {
    auto values = [](int n) {
        std::string text;
        for (int i = 0; i < n; ++i)
            text += "<ParamValue codename=\"V" + std::to_string(i) + "\"/>";
        return text;
    };
    const char* manyDef = R"(<P_M code="1" type="LIST" name="Many" regaddr="0"/>)";
    {
        Built b(manyDef, "<Parameter codename=\"P_M\" category=\"MANY\" defval=\"V24\">" + values(25) + "</Parameter>");
        ASSERT_NE(b.param, nullptr);
        EXPECT_EQ(b.param->count, 25);
        EXPECT_EQ(b.param->value, 24);
    }
    {
        Built b(manyDef, "<Parameter codename=\"P_M\" category=\"MANY\" defval=\"V0\">" + values(26) + "</Parameter>");
        EXPECT_EQ(b.param, nullptr);
    }
    { /* LEAVE_AS_IS keeps the board's setting ... */
        Built b(kListDef, listBoard(R"(defval="LEAVE_AS_IS")", R"(<ParamValue codename="RED"/>)"));
        ASSERT_NE(b.param, nullptr);
        EXPECT_EQ(b.param->leaveAsIs, 1);
        EXPECT_EQ(b.param->value, 0);
    }
    { /* ... unless a list value of that very code name is listed */
        Built b(kListDef, listBoard(R"(defval="LEAVE_AS_IS")",
                                    R"(<ParamValue codename="RED"/><ParamValue codename="LEAVE_AS_IS"/>)"));
        ASSERT_NE(b.param, nullptr);
        EXPECT_EQ(b.param->leaveAsIs, 0);
        EXPECT_EQ(b.param->value, 7);
    }
    { /* a values function fills the list */
        Built b(kListDef, listBoard("", R"(<ValuesDefinitionFunction codename="TestValuesDef"/>)"));
        ASSERT_NE(b.param, nullptr);
        EXPECT_EQ(b.param->count, 2);
        EXPECT_EQ(b.param->value, 20);
    }
    { /* with a values function the function's default stands, also over
         LEAVE_AS_IS and over a default text that names no listed value */
        for (const char* defval : {"LEAVE_AS_IS", "PURPLE"}) {
            Built b(kListDef, listBoard(std::string("defval=\"") + defval + "\"",
                                        R"(<ValuesDefinitionFunction codename="TestValuesDef"/>)"));
            ASSERT_NE(b.param, nullptr) << defval;
            EXPECT_EQ(b.param->leaveAsIs, 0) << defval;
            EXPECT_EQ(b.param->preferred, 20) << defval;
        }
    }
    { /* read-only list without default */
        Built b(R"(<P_L code="7" type="LIST" name="L" regaddr="0x8070" accesstype="READONLY"/>)",
                R"(<Parameter codename="P_L" category="COLOURS"><ParamValue codename="RED"/></Parameter>)");
        ASSERT_NE(b.param, nullptr);
    }
    { /* a category code that is not a number only logs */
        Built b(
            kListDef,
            R"(<Parameter codename="P_LIST" category="BADCODE" defval="ONLY"><ParamValue codename="ONLY"/></Parameter>)");
        ASSERT_NE(b.param, nullptr);
        EXPECT_EQ(b.param->listCategory, -1);
    }
    { /* only valtoreg given: the default converter reads */
        Built b(
            R"(<P_L code="7" type="LIST" name="L" regaddr="0x8070" valtoreg="TestValToRegTimesTen"/>)",
            R"(<Parameter codename="P_L" category="COLOURS" defval="RED"><ParamValue codename="RED"/></Parameter>)");
        ASSERT_NE(b.param, nullptr);
        EXPECT_NE(b.param->valtoreg, &GENERIC_ListValToReg);
        EXPECT_EQ(b.param->regtoval, &GENERIC_ListRegToVal);
    }
}

TEST(ParameterBuild, MinimalParameterFromDefinitionAlone) {
    Xml def(R"(<P_FIELD code="2" type="RANGE" name="Field" regaddr="0x8064" mask="0xFF00"/>)");
    c_Parameter_t* p = c_pfromDefnode(NULL, def.root(), 3);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p->codename, "P_FIELD");
    EXPECT_EQ(p->code, 2);
    EXPECT_STREQ(p->name, "Field");
    EXPECT_EQ(p->regaddr, 0u); /* everything else is ignored */
    EXPECT_EQ(p->index, 3);
    c_pdelete(p);
    Xml bad(R"(<P_FIELD code="x"/>)");
    EXPECT_EQ(c_pfromDefnode(NULL, bad.root(), 0), nullptr);
}

TEST(ParameterBuild, DefinitionOfABoardElement) {
    Xml board(R"(<BoardDef><ChannelParameters><Parameter codename="C_THR"/><Parameter codename="C_NONE"/>
                 <Parameter/></ChannelParameters><Elsewhere><Parameter codename="C_THR"/></Elsewhere></BoardDef>)");
    xmlNodePtr found = xmlFirstElementChild(board.firstChild());
    xmlNodePtr definition = c_findDefinitionsNodeFromBoardNode(found);
    ASSERT_NE(definition, nullptr);
    EXPECT_STREQ((const char*)definition->name, "C_THR");
    EXPECT_STREQ((const char*)definition->parent->name, "ChannelParameters");

    xmlNodePtr missing = xmlNextElementSibling(found);
    EXPECT_EQ(c_findDefinitionsNodeFromBoardNode(missing), nullptr);
    EXPECT_EQ(c_findDefinitionsNodeFromBoardNode(xmlNextElementSibling(missing)), nullptr); /* no codename */
    /* the category is the parent element's name */
    xmlNodePtr elsewhere = xmlNextElementSibling(board.firstChild());
    EXPECT_EQ(c_findDefinitionsNodeFromBoardNode(xmlFirstElementChild(elsewhere)), nullptr);
}

TEST(ParameterBuild, IndexMask) {
    struct Case {
        const char* mask; /* NULL: no attribute */
        uint32_t index;
        bool applies;
    };
    const Case cases[] = {
        {NULL, 7, true},          {"0x5", 0, true},          {"0x5", 1, false},      {"0x5", 2, true},
        {"0x5", 34, true},        {"0x5", 33, false},        {"1 << idx", 31, true}, {"0xAAAAAAAA", 3, true},
        {"0xAAAAAAAA", 4, false}, {"0x100000000", 0, false}, {"(idx", 5, true}, /* malformed: applies */
    };
    for (const Case& c : cases) {
        std::string text = c.mask != NULL ? std::string("<Parameter idxmask=\"") + c.mask + "\"/>" : "<Parameter/>";
        Xml element(text);
        EXPECT_EQ(c_pcheckidxmask(element.root(), c.index), c.applies) << (c.mask ? c.mask : "none") << " " << c.index;
    }
}

TEST(Collections, InsertRetrieveAndTheirErrors) {
    c_ParamCollection_t* coll = _pcnew(2, 10);
    ASSERT_NE(coll, nullptr);
    EXPECT_EQ(coll->firstCode, 10);
    EXPECT_EQ(coll->lastCode, 11);
    EXPECT_EQ(coll->count, 0);
    c_Parameter_t* a = c_pnew(NULL);
    c_Parameter_t* b = c_pnew(NULL);
    c_Parameter_t* c = c_pnew(NULL);

    EXPECT_EQ(_pcinsert(NULL, a, 10), -2);
    EXPECT_EQ(_pcinsert(coll, NULL, 10), -4);
    EXPECT_EQ(_pcinsert(coll, a, 9), -5);
    EXPECT_EQ(_pcinsert(coll, a, 12), -5);
    EXPECT_EQ(_pcinsert(coll, a, 10), 0);
    EXPECT_EQ(_pcinsert(coll, b, 10), -6);
    EXPECT_EQ(_pcinsert(coll, b, 11), 0);
    EXPECT_EQ(_pcinsert(coll, c, 11), -3); /* full comes before the code checks */
    EXPECT_EQ(coll->count, 2);

    EXPECT_EQ(_pretrieve(coll, 10), a);
    EXPECT_EQ(_pretrieve(coll, 11), b);
    {
        paramtest::LogCapture log;
        EXPECT_EQ(_pretrieve(coll, -1), nullptr); /* a code missing from the definitions: detail only */
        EXPECT_TRUE(log.has("DETAIL ZarnParameters:"));
        EXPECT_TRUE(log.has(
            "Parameter code (-1) doesn't fit with collection code range [10:11]. Cannot retrieve it from collection."));
        EXPECT_FALSE(log.has("ERROR"));
    }
    EXPECT_EQ(_pretrieve(coll, 12), nullptr);
    EXPECT_EQ(_pretrieve(NULL, 10), nullptr);
    _pcfree(coll); /* frees the slots, not the parameters */
    _pcfree(NULL);
    c_pdelete(a);
    c_pdelete(b);
    c_pdelete(c);

    EXPECT_EQ(_pcnew(-1, 0), nullptr);
    c_ParamCollection_t* empty = _pcnew(0, 5);
    ASSERT_NE(empty, nullptr);
    c_Parameter_t* d = c_pnew(NULL);
    EXPECT_EQ(_pcinsert(empty, d, 5), -3);
    EXPECT_EQ(_pretrieve(empty, 5), nullptr);
    _pcfree(empty);
    c_pdelete(d);
}

TEST(Collections, CategoryNames) {
    const char* names[] = {"BoardParameters",        "ChannelParameters",   "LVDSGroupParameters",
                           "VirtualTraceParameters", "HVChannelParameters", "HVRangeParameters",
                           "MonOutParameters",       "GroupParameters",     "VGAParameters"};
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(getParamCategoryFromName(names[i]), i);
        EXPECT_STREQ(getParamCategoryName(i), names[i]);
    }
    EXPECT_EQ(getParamCategoryFromName("channelparameters"), -1);
    EXPECT_EQ(getParamCategoryFromName(NULL), -1);
    EXPECT_EQ(getParamCategoryName(9), nullptr);
}

TEST(Collections, FromDocumentFiltersByIndexAndKeepsTheFirstDuplicate) {
    Xml board(R"(<BoardDef><ChannelParameters>
        <Parameter codename="C_THR" min="0" max="100" incr="0" defval="1"/>
        <Parameter codename="C_ODD" idxmask="0xAAAAAAAA" min="0" max="1" incr="0" defval="0"/>
        <Parameter codename="C_DUP" min="0" max="9" incr="0" defval="1"/>
        <Parameter codename="C_DUP" min="0" max="9" incr="0" defval="2"/>
    </ChannelParameters></BoardDef>)");
    int owner = 0;
    for (uint32_t index : {1u, 2u, C_PARAM_NO_INDEX}) {
        c_ParamCollection_t* coll = c_pcfromdoc(&owner, board.doc(), "ChannelParameters", index);
        ASSERT_NE(coll, nullptr) << index;
        EXPECT_EQ(coll->firstCode, 200);
        EXPECT_EQ(coll->lastCode, 207);
        bool odd = index == 1 || index == C_PARAM_NO_INDEX; /* no mask evaluated without an index */
        EXPECT_EQ(_pretrieve(coll, 204) != nullptr, odd) << index;
        c_Parameter_t* dup = _pretrieve(coll, 205);
        ASSERT_NE(dup, nullptr);
        EXPECT_EQ(dup->value, 1); /* the first element is kept */
        EXPECT_EQ(dup->owner, &owner);
        EXPECT_EQ(coll->count, odd ? 3 : 2);
        _pcfreeall(coll);
    }
}

TEST(Collections, FromDocumentFailures) {
    Xml bad(R"(<BoardDef><ChannelParameters>
        <Parameter codename="C_THR" min="0" max="100" incr="0" defval="1"/>
        <Parameter codename="C_BAD" min="x" max="1" incr="0" defval="0"/>
    </ChannelParameters><BoardParameters><Parameter codename="NOT_DEFINED"/></BoardParameters></BoardDef>)");
    /* one bad element drops the whole instance (and frees what was built) */
    EXPECT_EQ(c_pcfromdoc(NULL, bad.doc(), "ChannelParameters", 0), nullptr);
    /* an element without definition */
    EXPECT_EQ(c_pcfromdoc(NULL, bad.doc(), "BoardParameters", C_PARAM_NO_INDEX), nullptr);
    /* a category without elements, or unknown to the definitions */
    EXPECT_EQ(c_pcfromdoc(NULL, bad.doc(), "GroupParameters", 0), nullptr);
    EXPECT_EQ(c_pcfromdoc(NULL, bad.doc(), "ShapeParameters", 0), nullptr);
    EXPECT_EQ(c_pcfromdoc(NULL, bad.doc(), NULL, 0), nullptr);
}
