// One run of quorvel-reg: opening the machine the options name, the (Yes|No) questions and the
// commit, which every operation shares apart from what it does.
#include <cctype>
#include <filesystem>
#include <iostream>

#include "registry/cli/tool.h"
#include "registry/text.h"

namespace qv::reg::cli {

bool Run::openMachine() {
    try {
        using Kind = MachineChoice::Kind;
        if (choice_.kind == Kind::Windows) machine_ = Machine::openWindows(choice_.folder, choice_.windowsUser);
        else if (choice_.kind == Kind::Wine) machine_ = Machine::openWinePrefix(choice_.folder);
        else if (choice_.kind == Kind::Own) machine_ = Machine::openOwn(choice_.folder);
        else machine_ = Machine::openOwn(Machine::defaultOwnFolder());
    } catch (const MachineError& e) {
        io.err << "quorvel-reg: " << e.what() << '\n';
        return false;
    } catch (const std::exception& e) {
        io.err << "quorvel-reg: the machine could not be opened: " << e.what() << '\n';
        return false;
    }
    for (const std::string& w : machine_->warnings()) io.err << w << '\n';
    if (view == 32 && machine_->kind() == Machine::Kind::Windows) {
        io.err << "quorvel-reg: /reg:32 (the 32-bit view) is not available for a Windows installation; "
                  "name its keys under Wow6432Node instead\n";
        return false;
    }
    keys_.emplace(*machine_, view == 32 && !machine_->singleView());
    return true;
}

bool Run::wineserverStops() {
    if (machine_->kind() != Machine::Kind::WinePrefix) return false;
    if (auto msg = machine_->wineserverRunning()) {
        io.err << "quorvel-reg: " << *msg << '\n';
        return true;
    }
    return false;
}

bool Run::wineserverStops(const std::string& wineCommand) {
    if (!wineserverStops()) return false;
    io.err << "quorvel-reg: to make this change through the running Wine instead:\n  WINEPREFIX="
           << shellQuote(std::filesystem::absolute(choice_.folder).lexically_normal().string()) << ' '
           << wineCommand << '\n';
    return true;
}

bool Run::commit() {
    if (!machine_->hasChanges()) return true;
    try {
        machine_->commit();
    } catch (const MachineError& e) {
        io.err << "quorvel-reg: " << e.what() << '\n';
        return false;
    }
    return true;
}

Answer Run::ask(const std::string& question, bool offerAll) {
    for (;;) {
        io.out << question << (offerAll ? " (Yes|No|All)" : " (Yes|No)");
        io.out.flush();
        std::string line;
        if (!std::getline(io.in, line)) {
            io.out << '\n';
            return Answer::NoInput;
        }
        if (!io.interactive) io.out << '\n';
        size_t i = 0;
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
        if (i < line.size()) {
            const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(line[i])));
            if (c == 'y') return Answer::Yes;
            if (c == 'n') return Answer::No;
            if (c == 'a' && offerAll) return Answer::All;
        }
    }
}

}  // namespace qv::reg::cli
