#include "SoftRecord.h"

#include <stdio.h>
#include <string.h>

#include "ZarnBoard_GENERIC.h"
#include "ZarnRecordMemory.h"

namespace testsup {

namespace {

constexpr int32_t kBoardFirst = 0, kChannelFirst = 200, kCollectionSize = 150;

bool softwareOnly(const c_ParamRef_t*) { return true; }

} // namespace

SoftRecord::SoftRecord() : d_(new c_Digitizer_t) {
    _resetDgtz(d_);
    d_->kind = DGTZ_KIND_OPEN;
    d_->handle = -1;
}

SoftRecord::~SoftRecord() {
    _freeDgtzBuffers(d_);
    _freeParamCollections(d_);
    delete d_;
}

c_Parameter_t* SoftRecord::add(c_ParamCollection_t** collection, int32_t first, int32_t code, double value,
                               uint8_t index) {
    if (*collection == NULL)
        *collection = _pcnew(kCollectionSize, first);
    c_Parameter_t* p = _pretrieve(*collection, code);
    if (p != NULL) {
        p->value = p->preferred = value;
        return p;
    }
    p = c_pnew(d_);
    p->code = code;
    p->index = index;
    p->value = p->preferred = value;
    p->min = -1e12;
    p->max = 1e12;
    p->swcheck = softwareOnly;
    snprintf(p->name, sizeof p->name, "param %d", (int)code);
    if (_pcinsert(*collection, p, code) != 0) {
        c_pdelete(p);
        return NULL;
    }
    return p;
}

c_Parameter_t* SoftRecord::board(int32_t code, double value) {
    return add(&d_->boardColl, kBoardFirst, code, value, 0xFF);
}

c_Parameter_t* SoftRecord::channel(uint32_t ch, int32_t code, double value) {
    return add(&d_->channels[ch].coll, kChannelFirst, code, value, (uint8_t)ch);
}

void SoftRecord::describe(const SoftFormat& f, const char* model) {
    c_BoardDescriptor_t& b = d_->descriptor;
    snprintf(b.ModelName, sizeof b.ModelName, "%s", model);
    b.SerialNumber = 1;
    b.DPPCode = f.dppCode;
    b.DPPMinorRev = f.minor;
    b.FamilyCode = f.family;
    b.SamplePeriod = f.periodNs;
    b.TimeTagBits = f.timeTagBits;
    b.EnergyBits = f.energyBits;
    b.ADCBits = b.ADC_NBits = f.adcBits;
    b.NumChannels = f.channels;
    b.NumGroups = f.groups;
    b.Channels = f.groups ? f.groups : f.channels;
    for (uint32_t ch = 0; ch < f.channels; ++ch)
        channel(ch, DPPL_PARAM_CH_ENABLED, 1);
}

int SoftRecord::allocateFixed(uint64_t readoutBytes, uint32_t events, uint32_t withWaveform, uint32_t samples) {
    int status = _bfixedalloc(d_, readoutBytes, events, withWaveform, samples);
    if (status != 0)
        return status;
    if (withWaveform == 0) /* the allocator gives every event a waveform for 0 */
        for (uint32_t ch = 0; ch < d_->descriptor.NumChannels; ++ch) {
            for (uint32_t i = 0; i < d_->channels[ch].capacity; ++i)
                _freeWaveforms(&d_->channels[ch].events[i]);
            d_->channels[ch].waveformsAllocated = 0;
        }
    return status;
}

void SoftRecord::load(const std::vector<uint32_t>& words, int64_t bytes) {
    size_t size = words.size() * sizeof(uint32_t);
    if (size > d_->roBuffer.ROAllocSize)
        size = d_->roBuffer.ROAllocSize;
    memcpy(d_->roBuffer.ROBuf, words.data(), size);
    d_->roBuffer.ROBytes = bytes >= 0 ? (uint32_t)bytes : (uint32_t)size;
}

int SoftRecord::walk() { return GENERIC_GetEvents(d_, &d_->roBuffer); }

} // namespace testsup
