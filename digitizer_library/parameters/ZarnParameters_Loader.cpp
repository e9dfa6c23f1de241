/*
 * ZarnParameters_Loader: the board definition file that matches a board's
 * family, form factor, firmware and release, and the loader that builds every
 * collection of the digitizer record from it, category by category.
 */
#include <stdio.h>
#include <sys/stat.h>

#include "ZarnParametersBuild.h"
#include "ZarnParameters_Collections.h"

using namespace parambuild;

namespace {

/* Major and minor number of a channel firmware release text "<major>.<minor> ...":
 * the major number is everything before the first '.', the minor one runs
 * from there to the next blank (or the end of the text); each at most 99
 * characters, read as decimal. A text without '.' is all major number, with
 * minor 0. */
void parseFirmwareRelease(const char* text, size_t width, long* major, long* minor) {
    size_t length = strnlen(text, width);
    char majorText[100] = "";
    char minorText[100] = "";
    size_t i = 0, n = 0;
    while (i < length && text[i] != '.') {
        if (n < sizeof majorText - 1)
            majorText[n++] = text[i];
        ++i;
    }
    majorText[n] = '\0';
    n = 0;
    if (i < length && text[i] == '.') {
        ++i;
        while (i < length && text[i] != ' ') {
            if (n < sizeof minorText - 1)
                minorText[n++] = text[i];
            ++i;
        }
    }
    minorText[n] = '\0';
    *major = strtol(majorText, NULL, 10);
    *minor = strtol(minorText, NULL, 10);
}

bool fileExists(const char* path) {
    struct stat info;
    return stat(path, &info) == 0 && S_ISREG(info.st_mode);
}

/* Outcome of trying one file name. */
enum class Probe { Absent, Found, Invalid };

Probe tryBoardFile(c_Digitizer_t* digitizer, const char* path, xmlDocPtr* document) {
    if (!fileExists(path))
        return Probe::Absent;
    *document = c_xml_newfile(path);
    if (*document == NULL) {
        BLOG(digitizer, C_LOG_ERROR, "Invalid parameters document '%s'.", path);
        return Probe::Invalid;
    }
    BLOG(digitizer, C_LOG_INFO, "Parameters document is '%s'.", path);
    return Probe::Found;
}

/* The categories in the order the loader builds them, with what its failure
 * message calls each and the status the failure returns. The ranges of a
 * high-voltage channel are built right after the channel itself. */
struct CategoryBuild {
    int32_t category;
    const char* text;
    int failure;
};

const CategoryBuild kBuildOrder[] = {
    {PARAM_CATEGORY_BOARD, "board", -2},
    {PARAM_CATEGORY_GROUP, "groups", -3},
    {PARAM_CATEGORY_CHANNEL, "channels", -4},
    {PARAM_CATEGORY_LVDSGROUP, "LVDS Group", -5},
    {PARAM_CATEGORY_VIRTUALTRACE, "Virtual Traces", -6},
    {PARAM_CATEGORY_HVCHANNEL, "HV channels", -7},
    {PARAM_CATEGORY_MONOUT, "Output Monitors", -9},
    {PARAM_CATEGORY_VGA, "VGA", -10},
};
const CategoryBuild kHVRangeBuild = {PARAM_CATEGORY_HVRANGE, "HV range", -8};

/* Where the collection of one category instance lives in the record: the
 * owner its parameters point to, the slot, and the index its parameters
 * take (a range's parameters take their channel's index). */
struct CollectionPlace {
    void* owner;
    c_ParamCollection_t** slot;
    uint32_t index;
};

CollectionPlace collectionPlace(c_Digitizer_t* d, int32_t category, uint32_t instance, uint32_t range) {
    switch (category) {
    case PARAM_CATEGORY_BOARD: return {d, &d->boardColl, C_PARAM_NO_INDEX};
    case PARAM_CATEGORY_GROUP: return {&d->groupColl[instance], &d->groupColl[instance], instance};
    case PARAM_CATEGORY_CHANNEL: return {&d->channels[instance], &d->channels[instance].coll, instance};
    case PARAM_CATEGORY_LVDSGROUP: return {&d->lvdsColl[instance], &d->lvdsColl[instance], instance};
    case PARAM_CATEGORY_VIRTUALTRACE: return {&d->vtrace[instance], &d->vtrace[instance].coll, instance};
    case PARAM_CATEGORY_HVCHANNEL: return {&d->hv[instance], &d->hv[instance].coll, instance};
    case PARAM_CATEGORY_HVRANGE: return {&d->hv[instance].ranges[range], &d->hv[instance].ranges[range].coll, instance};
    case PARAM_CATEGORY_MONOUT: return {&d->monOutColl, &d->monOutColl, 0};
    case PARAM_CATEGORY_VGA: return {&d->vgaColl[instance], &d->vgaColl[instance], instance};
    }
    return {NULL, NULL, 0};
}

/* How many instances of a category the record holds, kept within its slots. */
uint32_t instanceCount(const c_Digitizer_t* d, int32_t category) {
    const c_BoardDescriptor_t* board = &d->descriptor;
    switch (category) {
    case PARAM_CATEGORY_BOARD: return 1;
    case PARAM_CATEGORY_GROUP: return board->NumGroups < DPPL_MAX_GROUPS ? board->NumGroups : DPPL_MAX_GROUPS;
    case PARAM_CATEGORY_CHANNEL: return board->NumChannels < DPPL_MAX_CHANNELS ? board->NumChannels : DPPL_MAX_CHANNELS;
    case PARAM_CATEGORY_LVDSGROUP:
        return board->LVDSGroups < DPPL_MAX_LVDS_GROUPS ? board->LVDSGroups : DPPL_MAX_LVDS_GROUPS;
    case PARAM_CATEGORY_VIRTUALTRACE: {
        uint64_t traceSum = (uint64_t)board->AnalogVTraces + board->DigitalVTraces;
        return traceSum < DPPL_MAX_VTRACES ? (uint32_t)traceSum : DPPL_MAX_VTRACES;
    }
    case PARAM_CATEGORY_HVCHANNEL:
        return board->HVChannels < DPPL_MAX_HV_CHANNELS ? board->HVChannels : DPPL_MAX_HV_CHANNELS;
    case PARAM_CATEGORY_MONOUT: return board->MonOuts > 0 ? 1 : 0; /* one collection serves every output */
    case PARAM_CATEGORY_VGA: return board->VGAs < DPPL_MAX_VGAS ? board->VGAs : DPPL_MAX_VGAS;
    }
    return 0;
}

} // namespace

extern "C" {

xmlDocPtr c_findBoardDefinitionFile(c_Digitizer_t* digitizer) {
    if (digitizer == NULL) {
        PLOG(C_LOG_ERROR, "'digitizer' cannot be NULL to find its board definition file.");
        return NULL;
    }
    const c_BoardDescriptor_t* board = &digitizer->descriptor;
    char query[kQuerySize];
    snprintf(query, sizeof query, "/Definitions/Families/*[@code='%u']", (unsigned)board->FamilyCode);
    xmlNodePtr family = c_xml_getfirstnodefromxpathquery(c_getLibraryDefinitions(), query);
    if (family == NULL) {
        BLOG(digitizer, C_LOG_ERROR, "Can't find a definition for family '%u' in definitions file.",
             (unsigned)board->FamilyCode);
        return NULL;
    }
    const char* familyName = elementName(family);
    const char* base = c_getBasePath();
    if (base == NULL)
        base = "";

    /* Room for the base path, the family name and the formatted rest. */
    size_t size = strlen(base) + strlen(familyName) + 100;
    char* path = (char*)c_malloc(size);
    if (path == NULL) {
        BLOG(digitizer, C_LOG_ERROR, "Can't allocate memory for complete board definitions path.");
        return NULL;
    }

    long major = 0, minor = 0;
    parseFirmwareRelease(board->ChannelFirmwareRel, sizeof board->ChannelFirmwareRel, &major, &minor);
    unsigned dppCode = (unsigned)(major & 0xFF);
    int startRevision = (int)(minor & 0xFF);
    unsigned formFactorBit = board->FormFactor < 8 ? ((1u << board->FormFactor) & 0xFFu) : 0u;

    xmlDocPtr document = NULL;
    Probe outcome = Probe::Absent;
    for (unsigned mask = 1; mask <= 15 && outcome == Probe::Absent; ++mask) {
        if ((mask & formFactorBit) == 0)
            continue;
        for (int r = startRevision; r >= 0 && outcome == Probe::Absent; --r) {
            snprintf(path, size, "%s/%s_%X_DPPCode%u-%i.xml", base, familyName, mask, dppCode, r);
            outcome = tryBoardFile(digitizer, path, &document);
        }
        if (outcome != Probe::Absent)
            break;
        snprintf(path, size, "%s/%s_%X_DPPCode%u.xml", base, familyName, mask, dppCode);
        outcome = tryBoardFile(digitizer, path, &document);
        if (outcome != Probe::Absent || mask != 15)
            continue;
        for (int r = startRevision; r >= 0 && outcome == Probe::Absent; --r) {
            snprintf(path, size, "%s/%s_DPPCode%u-%i.xml", base, familyName, dppCode, r);
            outcome = tryBoardFile(digitizer, path, &document);
        }
        if (outcome == Probe::Absent) {
            snprintf(path, size, "%s/%s_DPPCode%u.xml", base, familyName, dppCode);
            outcome = tryBoardFile(digitizer, path, &document);
        }
    }
    c_free(path);
    return outcome == Probe::Found ? document : NULL;
}

int GENERIC_LoadParameters(c_Digitizer_t* digitizer) {
    if (digitizer == NULL) {
        PLOG(C_LOG_ERROR, "'digitizer' cannot be NULL to load its parameters.");
        return -1;
    }
    xmlDocPtr document = c_findBoardDefinitionFile(digitizer);
    if (document == NULL) {
        BLOG(digitizer, C_LOG_ERROR, "Invalid parameters document.");
        return -1;
    }

    /* The code range of each category is read once; all its instances share it. */
    int32_t firstCode[PARAM_CATEGORY_COUNT] = {};
    int32_t lastCode[PARAM_CATEGORY_COUNT] = {};
    bool rangeRead[PARAM_CATEGORY_COUNT] = {};
    bool rangeOk[PARAM_CATEGORY_COUNT] = {};
    /* Builds one instance's collection into its place: 0, or the category's failure status. */
    auto build = [&](const CategoryBuild& step, uint32_t instance, uint32_t range) -> int {
        const int32_t category = step.category;
        const char* name = getParamCategoryName(category);
        if (!rangeRead[category]) {
            rangeRead[category] = true;
            rangeOk[category] = categoryCodeRange(name, &firstCode[category], &lastCode[category]);
        }
        CollectionPlace place = collectionPlace(digitizer, category, instance, range);
        *place.slot = rangeOk[category] ? collectionFromDocument(place.owner, document, name, place.index,
                                                                 firstCode[category], lastCode[category])
                                        : NULL;
        if (*place.slot != NULL)
            return 0;
        BLOG(digitizer, C_LOG_ERROR, "Can't create %s parameters from file.", step.text);
        return step.failure;
    };

    /* Instance counts, all taken before anything is built. */
    uint32_t instances[PARAM_CATEGORY_COUNT] = {};
    for (const CategoryBuild& step : kBuildOrder)
        instances[step.category] = instanceCount(digitizer, step.category);

    int result = 0;
    for (const CategoryBuild& step : kBuildOrder) {
        for (uint32_t i = 0; result == 0 && i < instances[step.category]; ++i) {
            if (step.category == PARAM_CATEGORY_VIRTUALTRACE)
                digitizer->vtrace[i].owner = digitizer; /* the trace block's way back to its record */
            result = build(step, i, 0);
            if (result != 0 || step.category != PARAM_CATEGORY_HVCHANNEL)
                continue;
            const c_HVChannelBlock_t* hv = &digitizer->hv[i];
            uint32_t ranges = hv->rangeCount < DPPL_MAX_HV_RANGES ? hv->rangeCount : DPPL_MAX_HV_RANGES;
            for (uint32_t r = 0; result == 0 && r < ranges; ++r)
                result = build(kHVRangeBuild, i, r);
        }
    }
    c_xml_freedoc(document);
    return result;
}

} // extern "C"
