/*
 * SRV_Spectra: the energy spectrum of every channel, its region of interest
 * and its file. Their client commands are in SRV_SpectrumCommands.
 *
 * The records (SRVEnergySpectrum_t, SRVROI_t, SRVSpectrumCounters_t) live in
 * the board record (SRV_BoardRecord.h). A spectrum points at the current values of
 * the parameters that give its bin count, its levels and its ROI bounds; the
 * board thread histograms into it each cycle (SRV_ProcessCycle), and every
 * command handler works under the board lock.
 *
 * A spectrum file is an SQLite database with one table EnergySpectrum and one
 * row per channel; each channel has a file of its own.
 */
#ifndef SRV_SPECTRA_H
#define SRV_SPECTRA_H

#include <stdbool.h>
#include <stdint.h>

#include "SRV_BoardRecord.h"
#include "SRV_Status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A spectrum file keeps every bin of the histogram, whatever the bin count. */
#define SRV_SPECTRUM_DATA_BYTES (SRV_SPECTRUM_MAX_BINS * 4u)
/* The default period of a spectrum, in milliseconds. */
#define SRV_SPECTRUM_DEFAULT_PERIOD_MS 5000u
/* The label a spectrum gets at start-up. */
#define SRV_SPECTRUM_DEFAULT_LABEL "Not set"
/* Local time texts: "YYYY-MM-DDThh:mm:ss". */
#define SRV_TIME_TEXT_SIZE 20

/* --------------------------------------------------------- binding */

/* Binds the spectrum of the channel to its bin-count library parameter and to
 * the server parameters of its collection (levels and gain-stabiliser
 * settings); sets channel, adcBits and period. A channel without a bin count
 * (waveform-only firmware) keeps no bin count: its spectrum has no histogram.
 * 0, or -17 when the board or one of the seven parameters is missing. */
SRVStatus_t SRV_InitEnergySpectrum(SRVBoard_t* board, uint32_t channel, uint32_t spectrum);
/* Binds the ROI to "PARAM_ROI_LOW" and "PARAM_ROI_HIGH" of its collection:
 * 0 or -17. */
SRVStatus_t SRV_InitROI(SRVBoard_t* board, uint32_t channel, uint32_t spectrum, uint32_t roi);
/* Clears the bindings of the spectrum, its gain stabiliser and its ROI to
 * their parameters (before they are freed). */
void SRV_UnbindEnergySpectrum(SRVEnergySpectrum_t* spectrum);

/* ------------------------------------------------------ bin scale */

/* The number of bins in use: the bin count truncated, at most 32,768 (0 for
 * an unbound, negative or non-numeric count). */
uint32_t SRV_SpectrumBinCount(const SRVEnergySpectrum_t* spectrum);
/* The right shift from an energy to its bin: adcBits minus the base-2
 * logarithm of the bin count (of its highest power of two when the count is
 * not one), never negative and at most 16. */
uint32_t SRV_SpectrumBinShift(const SRVEnergySpectrum_t* spectrum);
/* A level or ROI bound as the histogram compares it: the value truncated to
 * an integer and held within 0 .. 65535 (0 for none). */
uint16_t SRV_SpectrumLevel(const double* value);

/* ------------------------------------------------------- lookups */

/* The spectrum addressed by an index path of pairs (index, type): type 2 the
 * channel, type 9 the spectrum. 0, -10 (any other type, or a channel or
 * spectrum index that is missing or out of range), or -33 for a channel
 * without a histogram (waveform-only firmware). */
SRVStatus_t SRV_FindEnergySpectrum(SRVBoard_t* board, const int32_t* path, uint32_t length,
                                   SRVEnergySpectrum_t** spectrum);
/* The same with type 11 for the ROI. */
SRVStatus_t SRV_FindROI(SRVBoard_t* board, const int32_t* path, uint32_t length, SRVROI_t** roi);

/* ----------------------------------------------------- the record */

/* Resets the channel's run counters (real-time and dead-time sums, input
 * count, corrected input count, buffered list-mode events) and zeroes the
 * histogram, both counter sets and the ROI's entries. 0, or -17 for NULL. */
SRVStatus_t SRV_ClearEnergySpectrum(SRVEnergySpectrum_t* spectrum);
/* The local time of an acquisition start or stop of the channel. */
void SRV_SetSpectrumStartTime(SRVEnergySpectrum_t* spectrum);
void SRV_SetSpectrumStopTime(SRVEnergySpectrum_t* spectrum);
/* The local time as "%04d-%02d-%02dT%02d:%02d:%02d". */
void SRV_FormatLocalTime(char text[SRV_TIME_TEXT_SIZE]);

/* ---------------------------------------------------------- files */

/* Reads the channel's row of the file into the spectrum and sets the
 * restored levels and ROI bounds on their server parameters. 0; -36 the file
 * can't be opened; -43 no row or an SQL failure (the record unchanged) or a
 * failed close; -37 a restored limit can't be set. */
SRVStatus_t SRV_LoadEnergySpectrum(SRVBoard_t* board, SRVEnergySpectrum_t* spectrum, uint32_t channel,
                                   const char* fileName);
/* Writes the spectrum into the channel's row of the file, creating the file
 * and the table when needed: 0, -36 or -43. */
SRVStatus_t SRV_WriteEnergySpectrumFile(const SRVEnergySpectrum_t* spectrum, uint32_t channel, const char* fileName);
/* The writer on the channel's spectrum, with its log lines; a failure also
 * tells what is wrong with the file in *failure (when not NULL), e.g.
 * "cannot be written: disk I/O error". */
SRVStatus_t SaveEnergySpectrum(SRVBoard_t* board, uint32_t channel, const char* fileName, SRVFileFailure_t* failure);
/* Every channel's energy spectrum into the file its path names (a channel
 * without a path is passed over); a file that can't be written is kept in
 * the channel's spectrumSaveFailure (cleared for the others). 0, or the
 * status of the first file that could not be written. */
SRVStatus_t SRV_SaveEnergySpectra(SRVBoard_t* board);
/* The loader on the channel's spectrum, with its log lines; a failure also
 * tells what is wrong with the file in *failure (when not NULL). */
SRVStatus_t SRV_LoadChannelSpectrum(SRVBoard_t* board, uint32_t channel, const char* fileName,
                                    SRVFileFailure_t* failure);
/* Start-up: loads every channel's spectrum from "spectrum_chNN.spe" in the
 * data folder, creates the files that can't be opened (or are empty), then
 * sets each spectrum's file path and its label "Not set". 0, or the failure
 * of the channel that could be neither loaded nor created, with the file and
 * what is wrong with it (e.g. "is not a database") in *failure when it is
 * not NULL. A file that can't be loaded is left as it is, and no channel
 * stays loaded: the spectra loaded before it are cleared and keep no file
 * path. */
SRVStatus_t SRV_LoadSpectrumFiles(SRVBoard_t* board, const char* dataFolder, SRVFileFailure_t* failure);
/* SRV_LoadSpectrumFiles for a replay opened in place of the board: its log
 * lines go to the command's log and say that no spectrum of the replay is
 * loaded. */
SRVStatus_t SRV_LoadReplaySpectrumFiles(SRVBoard_t* board, const char* dataFolder, const c_LogModule_t* commandLog,
                                        SRVFileFailure_t* failure);
/* Reads, without loading it, each of the first channels' rows of
 * "spectrum_chNN.spe" in the data folder: 0 when every file could be loaded
 * or is one the load creates (missing, empty); else the loader's status for
 * the first that can't, with the file and what is wrong with it in
 * *failure. */
SRVStatus_t SRV_CheckSpectrumFiles(const char* dataFolder, uint32_t channels, SRVFileFailure_t* failure);

#ifdef __cplusplus
}
#endif

#endif /* SRV_SPECTRA_H */
