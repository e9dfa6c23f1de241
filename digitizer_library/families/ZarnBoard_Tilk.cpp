/*
 * ZarnBoard_Tilk: setup of the Tilk family (its decoder is in
 * ZarnBoard_Tilk_Decode.cpp).
 */
#include "ZarnBoard_Tilk.h"

#include "ZarnFamilySupport.h"

static const c_LogModule_t ZarnBoard_Tilk_log = {"ZarnBoard_TilkLog.txt", "ZarnBoard_Tilk"};

int TILK_InitBoard(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    int code = GENERIC_ReadMemorySize(&ZarnBoard_Tilk_log, d, &GENERIC_kMemoryCodes130To135);
    return code == 0 ? GENERIC_InitChannelDescriptor(&ZarnBoard_Tilk_log, d, 128, 1.0) : code;
}
