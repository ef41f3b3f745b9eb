#include "cli/Help.h"

#include <sstream>

namespace cv::cli {

namespace {
// Names in a column of this width, texts after it, as the help has always
// been laid out.
constexpr std::size_t kNameColumn = 21;

void Entry(std::ostream& out, const std::string& name, const std::string& text)
{
    out << "  " << name;
    if (name.size() + 2 > kNameColumn) {
        out << "\n" << std::string(kNameColumn + 2, ' ');
    } else {
        out << std::string(kNameColumn - name.size(), ' ');
    }
    out << text << "\n";
}
}  // namespace

std::string CommandPath(const CLI::App* app)
{
    std::string path;
    for (const CLI::App* a = app; a; a = a->get_parent())
        path = a->get_name() + (path.empty() ? "" : " " + path);
    return path;
}

const HelpText* HelpFormatter::Find(const CLI::App* app) const
{
    const auto it = help_.find(app);
    return it == help_.end() ? nullptr : &it->second;
}

std::string HelpFormatter::Options(const CLI::App* app, bool common) const
{
    std::ostringstream out;
    for (const CLI::Option* o : app->get_options()) {
        if (o->get_positional() || (o->get_group() == kCommonGroup) != common || o->get_group().empty())
            continue;
        std::string name = o->get_name(false, true);
        // CLI11 adds each check's own words after a colon; the name says enough.
        const std::string type = o->get_type_name().substr(0, o->get_type_name().find(':'));
        if (!type.empty() && o->get_type_size() != 0)
            name += " " + type;
        Entry(out, name, o->get_description());
    }
    return out.str();
}

std::string HelpFormatter::make_help(const CLI::App* app, std::string, CLI::AppFormatMode) const
{
    std::ostringstream out;
    const HelpText* help = Find(app);
    const std::string program = CommandPath(app).substr(0, CommandPath(app).find(' '));
    const auto root = [&] {
        const CLI::App* a = app;
        while (a->get_parent())
            a = a->get_parent();
        return a;
    }();
    if (help) {
        for (std::size_t i = 0; i < help->usage.size(); ++i)
            out << (i ? "       " : "usage: ") << program << " " << help->usage[i] << "\n";
        out << help->text;
    }
    if (app == root) {
        out << "\nCommands\n";
        for (const CLI::App* sub : app->get_subcommands({}))
            if (const HelpText* h = Find(sub))
                for (const auto& [form, summary] : h->listed)
                    Entry(out, form, summary);
        if (!app->get_footer().empty())
            out << "\n" << app->get_footer();
        return out.str();
    }
    const std::string own = Options(app, false);
    if (!own.empty())
        out << "\nOptions\n" << own;
    const std::string common = Options(app, true);
    if (!common.empty())
        out << "\n" << kCommonGroup << "\n" << common;
    return out.str();
}

}  // namespace cv::cli
