// pec-decode: the packets between a PEC card and its BMC, decoded from the
// kernel's I2C trace or from hex dumps, one line each on standard output;
// what could not be read goes to standard error as "pec-decode: FILE:LINE:
// what", and the exit status says whether there was any.
//
//   pec-decode [--adapter N] [--from card|bmc] [FILE...]   files, or standard input
//   pec-decode --live [--adapter N]                         this card's bus, as root
#include "i2c_trace_live.h"
#include "wire_decode.h"

#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Exit statuses: every line read; some line, file or tracefs could not be
// read (or the output written); a bad command line.
constexpr int status_read = 0, status_unread = 1, status_usage = 2;

const char usage[] = "usage: pec-decode [--adapter N] [--from card|bmc] [FILE...]\n"
                     "       pec-decode --live [--adapter N]\n"
                     "Decodes the BMC link's packets from I2C trace event lines or hex lines\n"
                     "(files, or standard input without FILE or with -); --live turns on the\n"
                     "I2C trace events of adapter N (0) and follows them until interrupted.\n"
                     "Exit status 0 when every line was read, 1 when not, 2 for a bad command.\n";

struct Arguments {
    Wire_Decode_Options options;
    bool live = false;
    bool from_given = false;
    bool help = false;
    std::vector<std::string> files;
};

bool parse_Adapter(const char* text, int* adapter) {
    char* end = nullptr;
    errno = 0;
    const long value = strtol(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || value > 1000000)
        return false;
    *adapter = static_cast<int>(value);
    return true;
}

bool refuse(const std::string& why) {
    fprintf(stderr, "pec-decode: %s (see pec-decode --help)\n", why.c_str());
    return false;
}

// false with a message on a bad command line.
bool parse_Arguments(int argc, char** argv, Arguments* arguments) {
    static const struct option options[] = {{"adapter", required_argument, nullptr, 'a'},
                                            {"from", required_argument, nullptr, 'f'},
                                            {"live", no_argument, nullptr, 'l'},
                                            {"help", no_argument, nullptr, 'h'},
                                            {nullptr, 0, nullptr, 0}};
    opterr = 0;
    int option = 0;
    while ((option = getopt_long(argc, argv, ":h", options, nullptr)) != -1) {
        switch (option) {
        case 'a':
            if (!parse_Adapter(optarg, &arguments->options.adapter))
                return refuse(std::string("--adapter takes an adapter number, not \"") + optarg +
                              "\"");
            break;
        case 'f':
            if (strcmp(optarg, "card") == 0)
                arguments->options.hex_direction = Wire_Direction::CARD_TO_BMC;
            else if (strcmp(optarg, "bmc") == 0)
                arguments->options.hex_direction = Wire_Direction::BMC_TO_CARD;
            else
                return refuse(std::string("--from takes card or bmc, not \"") + optarg + "\"");
            arguments->from_given = true;
            break;
        case 'l':
            arguments->live = true;
            break;
        case 'h':
            arguments->help = true;
            break;
        case ':':
            return refuse(std::string(argv[optind - 1]) + " needs a value");
        default:
            return refuse(std::string("unknown option ") + argv[optind - 1]);
        }
    }
    for (int i = optind; i < argc; ++i)
        arguments->files.emplace_back(argv[i]);
    if (arguments->help)
        return true;
    if (arguments->live && !arguments->files.empty())
        return refuse("--live reads the trace of this card's bus, not files");
    if (arguments->live && arguments->from_given)
        return refuse("--from gives the direction of hex lines, which --live does not read");
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

// Prints what `decoder` could not read so far; true when there was nothing.
bool print_Problems(Wire_Decoder* decoder) {
    const std::vector<std::string> problems = decoder->take_Problems();
    for (const std::string& problem : problems)
        fprintf(stderr, "pec-decode: %s\n", problem.c_str());
    return problems.empty();
}

// Hands a line of the input to `decoder` and prints what it makes of it.
// false once the output is gone; `*all_read` is cleared by a problem.
bool decode_Line(Wire_Decoder* decoder, const std::string& text, bool too_long, bool* all_read) {
    const bool printed =
        print_Lines(too_long ? decoder->skip_Long_Line() : decoder->read_Line(text));
    *all_read = print_Problems(decoder) && *all_read;
    return printed;
}

// Reads the file `fd` (named `name`) through `decoder`. false once the
// output is gone; `*all_read` is cleared by a problem or a read error.
bool decode_File(int fd, const std::string& name, Wire_Decoder* decoder, bool* all_read) {
    Wire_Line_Splitter splitter;
    const Wire_Line_Splitter::Handler line = [&](const std::string& text, bool too_long) {
        return decode_Line(decoder, text, too_long, all_read);
    };
    if (!print_Lines(decoder->start_File(name)))
        return false;
    char buffer[65536];
    while (true) {
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            fprintf(stderr, "pec-decode: %s: %s\n", name.c_str(), strerror(errno));
            *all_read = false;
            break;
        }
        if (n == 0)
            break;
        if (!splitter.take(buffer, static_cast<size_t>(n), line))
            return false;
    }
    return splitter.finish(line) && print_Lines(decoder->finish());
}

int run_Files(const Arguments& arguments) {
    Wire_Decoder decoder(arguments.options);
    std::vector<std::string> files = arguments.files;
    if (files.empty())
        files.emplace_back("-");
    bool all_read = true;
    for (const std::string& file : files) {
        if (file == "-") {
            if (!decode_File(STDIN_FILENO, "(standard input)", &decoder, &all_read))
                return status_unread;
            continue;
        }
        const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            fprintf(stderr, "pec-decode: %s: %s\n", file.c_str(), strerror(errno));
            all_read = false;
            continue;
        }
        const bool printed = decode_File(fd, file, &decoder, &all_read);
        close(fd);
        if (!printed)
            return status_unread;
    }
    return all_read ? status_read : status_unread;
}

int run_Live(const Arguments& arguments) {
    I2C_Trace_Session session;
    std::string error = session.start(arguments.options.adapter);
    bool all_read = true;
    bool printed = true;
    if (error.empty()) {
        Wire_Decoder decoder(arguments.options);
        decoder.start_File(session.get_Pipe_Path());
        error = session.follow([&](const std::string& text, bool too_long) {
            printed = decode_Line(&decoder, text, too_long, &all_read);
            return printed;
        });
        printed = printed && print_Lines(decoder.finish());
    }
    session.restore();
    if (!error.empty()) {
        fprintf(stderr, "pec-decode: %s\n", error.c_str());
        return status_unread;
    }
    return all_read && printed ? status_read : status_unread;
}

} // namespace

int main(int argc, char** argv) {
    // A closed output pipe ends the run through a failed write, so that
    // --live still puts the tracing state back.
    signal(SIGPIPE, SIG_IGN);
    Arguments arguments;
    if (!parse_Arguments(argc, argv, &arguments))
        return status_usage;
    if (arguments.help) {
        fputs(usage, stdout);
        return status_read;
    }
    return arguments.live ? run_Live(arguments) : run_Files(arguments);
}
