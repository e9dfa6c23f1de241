/*
 * Integer expressions of the definition files (register addresses, masks,
 * index masks), evaluated over signed 64-bit integers.
 *
 * Syntax, with C's precedence and left-to-right grouping, lowest first:
 *
 *   expression := or
 *   or         := xor { "|" xor }
 *   xor        := and { "^" and }
 *   and        := shift { "&" shift }
 *   shift      := sum { ("<<" | ">>") sum }
 *   sum        := product { ("+" | "-") product }
 *   product    := unary { ("*" | "/" | "%") unary }
 *   unary      := ("-" | "~") unary | primary
 *   primary    := number | "idx" | "(" expression ")"
 *   number     := decimal digits (a leading 0 is still decimal)
 *               | "0x" or "0X" followed by hexadecimal digits
 *
 * "idx" stands for the instance index (the channel, group, ... that the
 * definition is expanded for). Blanks may stand between tokens.
 * Arithmetic wraps around at 64 bits; numbers up to 0xFFFFFFFFFFFFFFFF are
 * accepted (and read as two's complement). ">>" shifts arithmetically;
 * "/" and "%" truncate toward zero as in C.
 *
 * Errors: an empty text, a number too large for 64 bits, a name other than
 * "idx", a missing operand or ")", anything left after the expression, a
 * division or remainder by zero (or of the smallest value by -1), a shift
 * count below 0 or above 63, nesting deeper than 200 levels.
 */
#include "ZarnUtility.h"

#include <ctype.h>
#include <string.h>

static const c_LogModule_t ZARN_LOG = {"ZarnUtilityLog.txt", "ZarnExpression"};

namespace {

const int MAX_DEPTH = 200;

enum Status { OK = 0, SYNTAX_ERROR = -1, ARITHMETIC_ERROR = -2 };

class Parser {
public:
    Parser(const char* text, int64_t index) : cursor(text), index(index) {}

    Status evaluate(int64_t* result) {
        Status status = parseOr(result);
        if (status != OK)
            return status;
        skipBlanks();
        return *cursor == '\0' ? OK : SYNTAX_ERROR;
    }

private:
    const char* cursor;
    int64_t index;
    int depth = 0;

    void skipBlanks() {
        while (*cursor == ' ' || *cursor == '\t' || *cursor == '\n' || *cursor == '\r')
            cursor++;
    }

    // Takes the operator token if it comes next (and is not the start of a
    // longer operator, e.g. "<" of "<<").
    bool take(const char* token) {
        skipBlanks();
        size_t length = strlen(token);
        if (strncmp(cursor, token, length) != 0)
            return false;
        cursor += length;
        return true;
    }

    static int64_t wrap(uint64_t value) { return static_cast<int64_t>(value); }

    // One level of a left-associative operator of one token: operands of the
    // next level, each joined to what came before it.
    template <typename Join>
    Status parseChain(const char* token, Status (Parser::*next)(int64_t*), int64_t* value, Join join) {
        Status status = (this->*next)(value);
        while (status == OK && take(token)) {
            int64_t right = 0;
            status = (this->*next)(&right);
            *value = join(*value, right);
        }
        return status;
    }

    Status parseOr(int64_t* value) {
        return parseChain("|", &Parser::parseXor, value, [](int64_t a, int64_t b) { return a | b; });
    }

    Status parseXor(int64_t* value) {
        return parseChain("^", &Parser::parseAnd, value, [](int64_t a, int64_t b) { return a ^ b; });
    }

    Status parseAnd(int64_t* value) {
        return parseChain("&", &Parser::parseShift, value, [](int64_t a, int64_t b) { return a & b; });
    }

    Status parseShift(int64_t* value) {
        Status status = parseSum(value);
        while (status == OK) {
            bool left = take("<<");
            if (!left && !take(">>"))
                break;
            int64_t count = 0;
            status = parseSum(&count);
            if (status != OK)
                break;
            if (count < 0 || count > 63)
                return ARITHMETIC_ERROR;
            *value = left ? wrap(static_cast<uint64_t>(*value) << count) : *value >> count;
        }
        return status;
    }

    Status parseSum(int64_t* value) {
        Status status = parseProduct(value);
        while (status == OK) {
            bool plus = take("+");
            if (!plus && !take("-"))
                break;
            int64_t right = 0;
            status = parseProduct(&right);
            uint64_t a = static_cast<uint64_t>(*value), b = static_cast<uint64_t>(right);
            *value = wrap(plus ? a + b : a - b);
        }
        return status;
    }

    Status parseProduct(int64_t* value) {
        Status status = parseUnary(value);
        while (status == OK) {
            char op = take("*") ? '*' : take("/") ? '/' : take("%") ? '%' : '\0';
            if (op == '\0')
                break;
            int64_t right = 0;
            status = parseUnary(&right);
            if (status != OK)
                break;
            if (op == '*') {
                *value = wrap(static_cast<uint64_t>(*value) * static_cast<uint64_t>(right));
                continue;
            }
            if (right == 0 || (*value == INT64_MIN && right == -1))
                return ARITHMETIC_ERROR;
            *value = op == '/' ? *value / right : *value % right;
        }
        return status;
    }

    Status parseUnary(int64_t* value) {
        if (++depth > MAX_DEPTH)
            return SYNTAX_ERROR;
        Status status;
        if (take("-")) {
            status = parseUnary(value);
            *value = wrap(0 - static_cast<uint64_t>(*value));
        } else if (take("~")) {
            status = parseUnary(value);
            *value = ~*value;
        } else {
            status = parsePrimary(value);
        }
        depth--;
        return status;
    }

    Status parsePrimary(int64_t* value) {
        skipBlanks();
        if (take("(")) {
            Status status = parseOr(value);
            if (status != OK)
                return status;
            return take(")") ? OK : SYNTAX_ERROR;
        }
        if (isdigit(static_cast<unsigned char>(*cursor)))
            return parseNumber(value);
        if (isalpha(static_cast<unsigned char>(*cursor)) || *cursor == '_') {
            const char* start = cursor;
            while (isalnum(static_cast<unsigned char>(*cursor)) || *cursor == '_')
                cursor++;
            if (cursor - start != 3 || strncmp(start, "idx", 3) != 0)
                return SYNTAX_ERROR;
            *value = index;
            return OK;
        }
        return SYNTAX_ERROR;
    }

    Status parseNumber(int64_t* value) {
        uint64_t base = 10;
        if (cursor[0] == '0' && (cursor[1] == 'x' || cursor[1] == 'X')) {
            base = 16;
            cursor += 2;
        }
        uint64_t number = 0;
        int digits = 0;
        while (true) {
            int c = static_cast<unsigned char>(*cursor);
            uint64_t digit;
            if (isdigit(c))
                digit = c - '0';
            else if (base == 16 && isxdigit(c))
                digit = tolower(c) - 'a' + 10;
            else
                break;
            if (number > (UINT64_MAX - digit) / base)
                return SYNTAX_ERROR;
            number = number * base + digit;
            digits++;
            cursor++;
        }
        // "0x" without digits, or a number glued to a name ("12abc").
        if (digits == 0 || isalnum(static_cast<unsigned char>(*cursor)) || *cursor == '_')
            return SYNTAX_ERROR;
        *value = wrap(number);
        return OK;
    }
};

} // namespace

extern "C" int c_ee_modifyAndEvaluateExpression(const char* text, uint32_t instanceIndex, int64_t* result) {
    if (text == NULL || result == NULL)
        return SYNTAX_ERROR;
    int64_t value = 0;
    Status status = Parser(text, instanceIndex).evaluate(&value);
    if (status != OK) {
        c_lprintf(&ZARN_LOG, C_LOG_DETAIL, __LINE__, "Invalid expression '%s' (instance %u).", text, instanceIndex);
        return status;
    }
    *result = value;
    return OK;
}
