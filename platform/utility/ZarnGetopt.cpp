// Command-line options with getopt(3)'s rules, its state kept in a record
// instead of globals: options may be grouped ("-ab"), an option's argument
// may be attached ("-p5") or the next word ("-p 5"), "--" ends the options and
// so does the first word that is not an option.
#include "ZarnUtility.h"

#include <stdio.h>
#include <string.h>

namespace {

const char* programName(char* const argv[]) { return argv[0] != NULL ? argv[0] : "?"; }

// Steps past the option character just read, to the next word when the
// group is done.
void finishCharacter(const char* word, c_getopt_t* state) {
    if (word[state->position] == '\0') {
        state->optind++;
        state->position = 0;
    }
}

} // namespace

extern "C" int c_mp_getopt(int argc, char* const argv[], const char* optionText, c_getopt_t* state) {
    if (state == NULL || argv == NULL || optionText == NULL)
        return -1;
    state->optarg = NULL;
    if (state->optind < 1)
        state->optind = 1;
    if (state->position > 0 && state->optind < argc && argv[state->optind] != NULL &&
        state->position >= static_cast<int>(strlen(argv[state->optind]))) {
        state->optind++; // the group was used up
        state->position = 0;
    }
    if (state->optind >= argc || argv[state->optind] == NULL)
        return -1;
    const char* word = argv[state->optind];

    if (state->position == 0) {
        if (word[0] != '-' || word[1] == '\0')
            return -1; // a non-option ("-" alone included)
        if (strcmp(word, "--") == 0) {
            state->optind++;
            return -1;
        }
        state->position = 1;
    }

    char option = word[state->position++];
    const char* entry = option != ':' ? strchr(optionText, option) : NULL;
    if (entry == NULL) {
        finishCharacter(word, state);
        state->optopt = static_cast<unsigned char>(option);
        fprintf(stderr, "%s: invalid option -- '%c'\n", programName(argv), option);
        return '?';
    }
    if (entry[1] != ':') {
        finishCharacter(word, state);
        return static_cast<unsigned char>(option);
    }

    // The option takes an argument: the rest of this word, or the next word.
    const char* rest = word + state->position;
    state->optind++;
    state->position = 0;
    if (*rest != '\0') {
        state->optarg = const_cast<char*>(rest);
    } else if (state->optind < argc && argv[state->optind] != NULL) {
        state->optarg = argv[state->optind++];
    } else {
        state->optopt = static_cast<unsigned char>(option);
        fprintf(stderr, "%s: option requires an argument -- '%c'\n", programName(argv), option);
        return '?';
    }
    return static_cast<unsigned char>(option);
}
