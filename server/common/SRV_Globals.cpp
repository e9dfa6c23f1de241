// The global record and the category index levels of the server
// definitions.
#include "SRV_Globals.h"

#include <cstdlib>

static const c_LogModule_t LOG_MODULE = {"SRV_CommonLog.txt", "SRV_Common"};

SRVGlobals_t* SRV_Globals = NULL;

int32_t SRV_GetCategoryIndexLevel(const char* categoryName) {
    char query[1024];
    if (c_xml_snprintf(query, sizeof query, "/ServerDefinitions/ServerParameters/%s", categoryName) < 0) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__,
                  "Can't write query to get index level for parameter category '%s'", categoryName);
        return SRV_INVALID_LEVEL;
    }
    xmlDocPtr document = SRV_Globals != NULL ? SRV_Globals->serverDefinitions : NULL;
    xmlNodePtr node = document != NULL ? c_xml_getfirstnodefromxpathquery(document, query) : NULL;
    if (node == NULL) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__,
                  "Can't find node '%s' in server definition file to get index level for parameter category",
                  categoryName);
        return SRV_INVALID_LEVEL;
    }
    const char* text = c_xml_getattributevalue(node, "level", 0);
    if (text == NULL) {
        c_lprintf(&LOG_MODULE, C_LOG_DETAIL, __LINE__, "Can't find index level for parameter category %s",
                  categoryName);
        return SRV_INVALID_LEVEL;
    }
    char* end = NULL;
    long level = std::strtol(text, &end, 0);
    if (end == text) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__,
                  "Can't parse parameter level from string '%s' for server parameter category '%s'", text,
                  categoryName);
        return SRV_INVALID_LEVEL;
    }
    return static_cast<int32_t>(level);
}

int SRV_GetCategoryIndexLevels(void) {
    // Read in the alphabetical order of the category names.
    static const struct {
        const char* name;
        int slot;
    } CATEGORIES[] = {
        {"SRVBoardParameters", SRV_LEVEL_BOARD},
        {"SRVChannelParameters", SRV_LEVEL_CHANNEL},
        {"SRVDTSpectrumParameters", SRV_LEVEL_DT_SPECTRUM},
        {"SRVEnergySpectrumParameters", SRV_LEVEL_ENERGY_SPECTRUM},
        {"SRVHVChannelParameters", SRV_LEVEL_HV_CHANNEL},
        {"SRVHVRangeParameters", SRV_LEVEL_HV_RANGE},
        {"SRVLVDSGroupParameters", SRV_LEVEL_LVDS_GROUP},
        {"SRVMCSSpectrumParameters", SRV_LEVEL_MCS_SPECTRUM},
        {"SRVMonOutParameters", SRV_LEVEL_MON_OUT},
        {"SRVROIParameters", SRV_LEVEL_ROI},
        {"SRVVirtualTraceParameters", SRV_LEVEL_VIRTUAL_TRACE},
    };
    if (SRV_Globals == NULL)
        return -1;
    for (const auto& category : CATEGORIES) {
        int32_t level = SRV_GetCategoryIndexLevel(category.name);
        if (level == SRV_INVALID_LEVEL) {
            c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't get index level for category '%s'", category.name);
            return -1;
        }
        SRV_Globals->levels[category.slot] = level;
    }
    return 0;
}
