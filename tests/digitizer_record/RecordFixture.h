/* A digitizer record filled by hand: an open record with no board behind it,
 * whose parameters are software-only (their values live in the records), so
 * that the library's set and get paths, the buffer functions and the plug-in
 * work on it without hardware. */
#ifndef RECORD_FIXTURE_H
#define RECORD_FIXTURE_H

#include <string.h>

#include "ZarnDPPLayer.h"
#include "ZarnRecordMemory.h"

namespace rectest {

/* swcheck of every fixture parameter: the value stays in the record. */
inline bool alwaysSoftware(const c_ParamRef_t*) { return true; }

/* Code ranges of the shipped definitions' categories (with room to spare). */
constexpr int32_t kBoardFirst = 0, kChannelFirst = 200, kHVChannelFirst = 600, kHVRangeFirst = 650, kGroupFirst = 750;
constexpr int32_t kWideSize = 150, kNarrowSize = 50;

class Record {
public:
    explicit Record(uint8_t channels = 4, uint8_t groups = 0) : d_(new c_Digitizer_t) {
        _resetDgtz(d_);
        d_->kind = DGTZ_KIND_OPEN;
        d_->handle = -1;
        c_BoardDescriptor_t& board = d_->descriptor;
        strcpy(board.ModelName, "TESTBOARD");
        board.SerialNumber = 7;
        board.NumChannels = channels;
        board.NumGroups = groups;
        board.SamplePeriod = 4.0;
        board.DPPCode = 139;
        board.FamilyCode = 11;
    }
    ~Record() {
        _freeDgtzBuffers(d_);
        _freeParamCollections(d_);
        for (auto& channel : d_->channels)
            c_free(channel.coarseDCO);
        if (d_->scope != NULL) {
            c_free(d_->scope->items);
            c_free(d_->scope);
        }
        delete d_;
    }
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;

    c_Digitizer_t* get() const { return d_; }
    c_Digitizer_t* operator->() const { return d_; }

    c_Parameter_t* board(int32_t code, double value, const char* codeName = "") {
        return add(&d_->boardColl, kBoardFirst, kWideSize, d_, code, value, 0, 0xFF, codeName);
    }
    /* Register address (channel << 8) | 0x1000, index byte = channel. */
    c_Parameter_t* channel(int32_t ch, int32_t code, double value, const char* codeName = "") {
        return add(&d_->channels[ch].coll, kChannelFirst, kWideSize, d_, code, value, ((uint32_t)ch << 8) | 0x1000u,
                   (uint8_t)ch, codeName);
    }
    c_Parameter_t* group(int32_t g, int32_t code, double value) {
        return add(&d_->groupColl[g], kGroupFirst, kNarrowSize, d_, code, value, ((uint32_t)g << 8) | 0x1000u,
                   (uint8_t)g, "");
    }
    c_Parameter_t* hvChannel(int32_t h, int32_t code, double value) {
        if (d_->descriptor.HVChannels <= (uint32_t)h)
            d_->descriptor.HVChannels = (uint32_t)h + 1;
        return add(&d_->hv[h].coll, kHVChannelFirst, kNarrowSize, &d_->hv[h], code, value, 0, (uint8_t)h, "");
    }
    c_Parameter_t* hvRange(int32_t h, int32_t r, int32_t code, double value) {
        if (d_->descriptor.HVChannels <= (uint32_t)h)
            d_->descriptor.HVChannels = (uint32_t)h + 1;
        if (d_->hv[h].rangeCount <= (uint32_t)r)
            d_->hv[h].rangeCount = (uint32_t)r + 1;
        d_->hv[h].ranges[r].hvIndex = (uint32_t)h;
        return add(&d_->hv[h].ranges[r].coll, kHVRangeFirst, kNarrowSize, &d_->hv[h].ranges[r], code, value, 0,
                   (uint8_t)r, "");
    }

private:
    static c_Parameter_t* add(c_ParamCollection_t** collection, int32_t first, int32_t size, void* owner, int32_t code,
                              double value, uint32_t address, uint8_t index, const char* codeName) {
        if (*collection == NULL)
            *collection = _pcnew(size, first);
        c_Parameter_t* param = c_pnew(owner);
        param->code = code;
        param->regaddr = address;
        param->index = index;
        param->value = param->preferred = value;
        param->min = -1e12;
        param->max = 1e12;
        param->swcheck = alwaysSoftware;
        strncpy(param->codename, codeName, sizeof param->codename - 1);
        strncpy(param->name, codeName, sizeof param->name - 1);
        if (*collection == NULL || _pcinsert(*collection, param, code) != 0) {
            c_pdelete(param);
            return NULL;
        }
        return param;
    }

    c_Digitizer_t* d_;
};

} // namespace rectest

#endif
