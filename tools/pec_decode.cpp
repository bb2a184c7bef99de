// pec-decode: the packets between a PEC card and its BMC, decoded from the
// kernel's I2C trace or from hex dumps, one line each.
//
//   pec-decode [--adapter N] [--from card|bmc] [FILE...]   files, or standard input
//   pec-decode --live [--adapter N]                         this card's bus, as root
#include "i2c_trace_live.h"
#include "wire_decode.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

const char usage[] = "usage: pec-decode [--adapter N] [--from card|bmc] [FILE...]\n"
                     "       pec-decode --live [--adapter N]\n"
                     "Decodes the BMC link's packets from I2C trace event lines or hex lines\n"
                     "(files, or standard input without FILE or with -); --live turns on the\n"
                     "I2C trace events of adapter N (0) and follows them until interrupted.\n";

struct Arguments {
    Wire_Decode_Options options;
    bool live = false;
    std::vector<std::string> files;
};

bool parse_Adapter(const char* text, int* adapter) {
    char* end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || errno != 0 || value < 0 || value > 1000000)
        return false;
    *adapter = static_cast<int>(value);
    return true;
}

// false with a message on a bad command line.
bool parse_Arguments(int argc, char** argv, Arguments* arguments) {
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        const bool has_value = i + 1 < argc;
        if (word == "--live") {
            arguments->live = true;
        } else if (word == "--adapter" && has_value &&
                   parse_Adapter(argv[i + 1], &arguments->options.adapter)) {
            ++i;
        } else if (word == "--from" && has_value && strcmp(argv[i + 1], "card") == 0) {
            arguments->options.hex_direction = Wire_Direction::CARD_TO_BMC;
            ++i;
        } else if (word == "--from" && has_value && strcmp(argv[i + 1], "bmc") == 0) {
            arguments->options.hex_direction = Wire_Direction::BMC_TO_CARD;
            ++i;
        } else if (word == "-" || word.compare(0, 1, "-") != 0) {
            arguments->files.push_back(word);
        } else {
            fprintf(stderr, "pec-decode: bad argument %s\n%s", word.c_str(), usage);
            return false;
        }
    }
    if (arguments->live && !arguments->files.empty()) {
        fprintf(stderr, "pec-decode: --live reads no files\n%s", usage);
        return false;
    }
    return true;
}

// false once standard output is gone (a closed pipe).
bool print_Lines(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        if (fputs(line.c_str(), stdout) == EOF || fputc('\n', stdout) == EOF ||
            fflush(stdout) == EOF)
            return false;
    }
    return true;
}

bool decode_Stream(std::istream& in, Wire_Decoder* decoder) {
    std::string line;
    while (std::getline(in, line)) {
        if (!print_Lines(decoder->read_Line(line)))
            return false;
    }
    return true;
}

int run_Files(const Arguments& arguments) {
    Wire_Decoder decoder(arguments.options);
    std::vector<std::string> files = arguments.files;
    if (files.empty())
        files.emplace_back("-");
    int status = 0;
    for (const std::string& file : files) {
        if (file == "-") {
            if (!decode_Stream(std::cin, &decoder))
                return 1;
            continue;
        }
        std::ifstream in(file);
        if (!in) {
            fprintf(stderr, "pec-decode: cannot open %s: %s\n", file.c_str(), strerror(errno));
            status = 1;
            continue;
        }
        if (!decode_Stream(in, &decoder))
            return 1;
    }
    return print_Lines(decoder.finish()) ? status : 1;
}

int run_Live(const Arguments& arguments) {
    I2C_Trace_Session session;
    std::string error = session.start(arguments.options.adapter);
    if (error.empty()) {
        Wire_Decoder decoder(arguments.options);
        error = session.follow(
            [&decoder](const std::string& line) { return print_Lines(decoder.read_Line(line)); });
        print_Lines(decoder.finish());
    }
    session.restore();
    if (!error.empty()) {
        fprintf(stderr, "pec-decode: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    // A closed output pipe ends the run through a failed write, so that
    // --live still puts the tracing state back.
    signal(SIGPIPE, SIG_IGN);
    Arguments arguments;
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        fputs(usage, stdout);
        return 0;
    }
    if (!parse_Arguments(argc, argv, &arguments))
        return 2;
    return arguments.live ? run_Live(arguments) : run_Files(arguments);
}
