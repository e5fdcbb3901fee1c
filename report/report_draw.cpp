// The report drawn with cairo: the same charts on a PDF's pages, in a PNG, and as SVG inside the
// HTML file, so that the three say the same.
#include <cairo-pdf.h>
#include <cairo-svg.h>
#include <cairo.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>

#include "domain/text.h"
#include "report/report.h"

namespace brix::report {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr const char* kFont = "DejaVu Sans";

struct Series {
    std::string name;
    double r, g, b;
    std::vector<Millis> t;
    std::vector<double> lo, mid, hi;
};

struct Chart {
    std::string title;
    std::vector<Series> series;
};

// The charts of the History window: bit rates, attenuation, packets and bytes a second, and
// re-transmissions, each with its minimum and maximum as a band.
std::vector<Chart> chartsOf(const ReportData& d) {
    std::vector<Chart> charts;
    const auto rf = [&](const std::string& name, double r, double g, double b,
                        const std::function<double(double)>& of, int field) {
        Series s{name, r, g, b, {}, {}, {}, {}};
        for (const auto& row : d.range.rf) {
            const double a = of(row.fields[field][0]), m = of(row.fields[field][1]),
                         z = of(row.fields[field][2]);
            s.t.push_back(row.t);
            s.lo.push_back(std::min(a, z));
            s.mid.push_back(m);
            s.hi.push_back(std::max(a, z));
        }
        return s;
    };
    const auto stat = [&](const std::string& name, double r, double g, double b, int k) {
        Series s{name, r, g, b, {}, {}, {}, {}};
        for (const auto& row : d.range.statistics) {
            s.t.push_back(row.t);
            s.lo.push_back(row.rates[k][0]);
            s.mid.push_back(row.rates[k][1]);
            s.hi.push_back(row.rates[k][2]);
        }
        return s;
    };
    const auto mbps = [](double code) { return history::codeMbps(code); };
    const auto dbmv = [](double v) { return -2 * v; };
    charts.push_back(
        {"Bit rate (Mbit/s)",
         {rf("receive", 0.12, 0.47, 0.71, mbps, 1), rf("transmit", 0.84, 0.37, 0.0, mbps, 3)}});
    charts.push_back({"Attenuation (dBmV)", {rf("attenuation", 0.42, 0.24, 0.60, dbmv, 4)}});
    charts.push_back(
        {"Packets a second",
         {stat("upstream", 0.84, 0.37, 0.0, 1), stat("downstream", 0.12, 0.47, 0.71, 4)}});
    charts.push_back(
        {"Bytes a second",
         {stat("upstream", 0.84, 0.37, 0.0, 2), stat("downstream", 0.12, 0.47, 0.71, 6)}});
    charts.push_back(
        {"Re-transmitted upstream packets a second", {stat("re-transmitted", 0.75, 0.1, 0.1, 3)}});
    return charts;
}

std::string number(double v) {
    char text[32];
    const double a = std::fabs(v);
    if (a >= 1e6)
        std::snprintf(text, sizeof text, "%.1fM", v / 1e6);
    else if (a >= 1e4)
        std::snprintf(text, sizeof text, "%.0fk", v / 1e3);
    else if (a >= 100 || v == std::round(v))
        std::snprintf(text, sizeof text, "%.0f", v);
    else
        std::snprintf(text, sizeof text, "%.2f", v);
    return text;
}

void font(cairo_t* cr, double size, bool bold = false) {
    cairo_select_font_face(cr, kFont, CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
}

double textWidth(cairo_t* cr, const std::string& text) {
    cairo_text_extents_t e;
    cairo_text_extents(cr, text.c_str(), &e);
    return e.x_advance;
}

// `text` cut to `width` with an ellipsis, on UTF-8 character edges.
std::string fitted(cairo_t* cr, std::string text, double width) {
    if (textWidth(cr, text) <= width)
        return text;
    while (!text.empty() && textWidth(cr, text + "\xe2\x80\xa6") > width) {
        text.pop_back();
        while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80)
            text.pop_back();
        if (!text.empty() && static_cast<unsigned char>(text.back()) >= 0xC0)
            text.pop_back();
    }
    return text + "\xe2\x80\xa6";
}

void say(cairo_t* cr, double x, double y, const std::string& text) {
    cairo_move_to(cr, x, y);
    cairo_show_text(cr, text.c_str());
}

// Time labels of the x axis: dates for a range of days, times of day within one.
std::string axisTime(Millis t, Millis span) {
    const std::string full = localDateTime(t);
    return span > 2 * 86'400'000LL ? full.substr(0, 10) : full.substr(5, 11);
}

void drawChart(cairo_t* cr, double x, double y, double w, double h, const Chart& c,
               const ReportData& d) {
    const double left = 48, bottom = 18, top = 16;
    const double px = x + left, pw = w - left - 4, py = y + top, ph = h - top - bottom;
    const Millis since = d.range.since, until = std::max(d.range.until, since + 1);
    const auto xOf = [&](Millis t) {
        return px + pw * static_cast<double>(t - since) / static_cast<double>(until - since);
    };
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (const auto& s : c.series)
        for (std::size_t i = 0; i < s.t.size(); ++i) {
            if (std::isfinite(s.lo[i]))
                lo = std::min(lo, s.lo[i]);
            if (std::isfinite(s.hi[i]))
                hi = std::max(hi, s.hi[i]);
        }
    if (!std::isfinite(lo)) {
        lo = 0;
        hi = 1;
    }
    if (hi - lo < 1e-9) {
        lo -= 1;
        hi += 1;
    }
    const double pad = (hi - lo) * 0.06;
    // Counts and rates never go below 0, nor does their axis.
    lo = lo >= 0 ? std::max(0.0, lo - pad) : lo - pad;
    hi += pad;
    const auto yOf = [&](double v) { return py + ph - ph * (v - lo) / (hi - lo); };

    font(cr, 9, true);
    cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
    say(cr, x, y + 10, c.title);
    // The outages, shaded.
    cairo_set_source_rgba(cr, 0.85, 0.15, 0.15, 0.18);
    for (const auto& o : d.outages) {
        const double a = std::max(px, xOf(o.start)), b = std::min(px + pw, xOf(o.end));
        cairo_rectangle(cr, a, py, std::max(0.8, b - a), ph);
    }
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 0.55, 0.55, 0.55);
    cairo_set_line_width(cr, 0.6);
    cairo_rectangle(cr, px, py, pw, ph);
    cairo_stroke(cr);
    font(cr, 7.5);
    cairo_set_source_rgb(cr, 0.25, 0.25, 0.25);
    for (int i = 0; i <= 2; ++i) {
        const double v = lo + (hi - lo) * i / 2;
        const std::string label = number(v);
        say(cr, px - 4 - textWidth(cr, label), yOf(v) + 3, label);
    }
    for (int i = 0; i <= 4; ++i) {
        const Millis t = since + (until - since) * i / 4;
        const std::string label = axisTime(t, until - since);
        const double tw = textWidth(cr, label);
        say(cr, std::clamp(xOf(t) - tw / 2, px, px + pw - tw), py + ph + 12, label);
    }
    // A gap (no rows for much longer than they usually come) breaks the line.
    for (const auto& s : c.series) {
        if (s.t.empty())
            continue;
        std::vector<Millis> steps;
        for (std::size_t i = 1; i < s.t.size(); ++i)
            steps.push_back(s.t[i] - s.t[i - 1]);
        std::sort(steps.begin(), steps.end());
        const Millis usual = steps.empty() ? 0 : steps[steps.size() / 2];
        const Millis gap = std::max<Millis>(3 * usual, 12'000);
        std::size_t begin = 0;
        const auto drawPiece = [&](std::size_t from, std::size_t to) {
            cairo_set_source_rgba(cr, s.r, s.g, s.b, 0.22);
            cairo_move_to(cr, xOf(s.t[from]), yOf(s.hi[from]));
            for (std::size_t i = from; i < to; ++i)
                cairo_line_to(cr, xOf(s.t[i]), yOf(s.hi[i]));
            for (std::size_t i = to; i-- > from;)
                cairo_line_to(cr, xOf(s.t[i]), yOf(s.lo[i]));
            cairo_close_path(cr);
            cairo_fill(cr);
            cairo_set_source_rgb(cr, s.r, s.g, s.b);
            cairo_set_line_width(cr, 1.0);
            cairo_move_to(cr, xOf(s.t[from]), yOf(s.mid[from]));
            for (std::size_t i = from; i < to; ++i)
                cairo_line_to(cr, xOf(s.t[i]), yOf(s.mid[i]));
            if (to - from == 1)
                cairo_rel_line_to(cr, 0.8, 0);
            cairo_stroke(cr);
        };
        for (std::size_t i = 1; i <= s.t.size(); ++i)
            if (i == s.t.size() || s.t[i] - s.t[i - 1] > gap) {
                drawPiece(begin, i);
                begin = i;
            }
    }
    // The key, at the right of the title.
    font(cr, 7.5);
    double kx = x + w - 4;
    for (auto it = c.series.rbegin(); it != c.series.rend(); ++it) {
        kx -= textWidth(cr, it->name) + 18;
        cairo_set_source_rgb(cr, it->r, it->g, it->b);
        cairo_rectangle(cr, kx, y + 4, 10, 4);
        cairo_fill(cr);
        cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
        say(cr, kx + 13, y + 10, it->name);
    }
}

// A cell of one-letter words ("2 h", "1 d 4 h") with its spaces half an em wide: a PDF reader
// takes evenly spaced letters at a normal space apart for one word and copies "2h".
void sayCell(cairo_t* cr, double x, double y, const std::string& text) {
    bool letters = text.size() >= 3;
    for (std::size_t i = 0; i < text.size() && letters; ++i)
        letters = (i % 2 == 1) == (text[i] == ' ') && static_cast<unsigned char>(text[i]) < 0x80;
    if (!letters || text.size() % 2 == 0) {
        say(cr, x, y, text);
        return;
    }
    cairo_matrix_t size;
    cairo_get_font_matrix(cr, &size);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const std::string letter = text.substr(i, 1);
        say(cr, x, y, letter);
        x += textWidth(cr, letter) + std::max(textWidth(cr, " "), 0.5 * size.xx);
    }
}

cairo_status_t appendTo(void* closure, const unsigned char* data, unsigned int length) {
    static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
}

// Text pages of A4, in points, with what overflows on a new page.
class Pages {
public:
    explicit Pages(cairo_t* cr) : cr_(cr) {}
    static constexpr double kWidth = 595, kHeight = 842, kMargin = 42;

    double y = kMargin;
    void need(double h) {
        if (y + h > kHeight - kMargin)
            next();
    }
    void next() {
        cairo_show_page(cr_);
        y = kMargin;
    }
    void line(const std::string& text, double size = 9.5, bool bold = false, double after = 4) {
        need(size + after);
        font(cr_, size, bold);
        cairo_set_source_rgb(cr_, 0.1, 0.1, 0.1);
        y += size;
        say(cr_, kMargin, y, fitted(cr_, text, kWidth - 2 * kMargin));
        y += after;
    }
    // One row of a table: each cell cut to its column.
    void row(const std::vector<std::string>& cells, const std::vector<double>& widths,
             bool bold = false) {
        need(13);
        font(cr_, 7.5, bold);
        cairo_set_source_rgb(cr_, 0.1, 0.1, 0.1);
        y += 10;
        double x = kMargin;
        for (std::size_t i = 0; i < cells.size(); ++i) {
            sayCell(cr_, x, y, fitted(cr_, cells[i], widths[i] - 6));
            x += widths[i];
        }
        y += 3;
        if (bold) {
            cairo_set_line_width(cr_, 0.5);
            cairo_move_to(cr_, kMargin, y);
            cairo_line_to(cr_, kWidth - kMargin, y);
            cairo_stroke(cr_);
            y += 2;
        }
    }

private:
    cairo_t* cr_;
};

std::string title(const ReportData& d) {
    return "Cable modem report: " + localDateTime(d.range.since) + " to " +
           localDateTime(d.range.until);
}

// What the modem or the store holds, as brixctl's text and CSV show it: a control character
// (an ESC, a BEL) as "\x1b", never raw in a PDF's text or a page; bytes that are no UTF-8 too.
std::string visible(const std::string& text, const char* none = "") {
    return text.empty() ? std::string(none) : brix::visibleText(text);
}

std::string eventText(const history::Event& e) {
    return visible(e.text) + (e.program.empty() ? "" : " (" + visible(e.program) + ")");
}

std::vector<std::vector<std::string>> outageRows(const ReportData& d) {
    std::vector<std::vector<std::string>> rows;
    for (const auto& o : d.outages)
        rows.push_back({tableTime(d, o.start), o.ongoing ? "(still down)" : tableTime(d, o.end),
                        durationText(o.end - o.start), visible(o.before), visible(o.after)});
    return rows;
}

constexpr std::size_t kMostEventsPrinted = 1000;

bool writePdf(const ReportData& d, std::string& bytes, std::string& error) {
    cairo_surface_t* surface =
        cairo_pdf_surface_create_for_stream(appendTo, &bytes, Pages::kWidth, Pages::kHeight);
    cairo_t* cr = cairo_create(surface);
    Pages p(cr);
    p.line("Cable modem report", 16, true, 4);
    p.line(localDateTime(d.range.since) + " to " + localDateTime(d.range.until), 12, true, 6);
    if (d.severalOffsets) {
        p.line(madeText(d), 9, false, 2);
        p.line(zoneNote(d), 9);
    } else {
        p.line(madeText(d) + " " + zoneNote(d), 9);
    }
    p.line("From " + visible(d.source) + ".", 8, false, 10);
    p.line("The modem", 11, true);
    p.line("Microcode " + visible(d.microcode, "not recorded") + "; " +
           visible(d.boot, "boot code not recorded") + ".");
    p.line("Receive channel " + (d.receive.empty() ? "not recorded" : d.receive) +
           "; transmit channel " + (d.transmit.empty() ? "not recorded" : d.transmit) + ".");
    p.line("Interface " + visible(d.interfaceName, "of the default route") + ".", 9.5, false, 10);
    p.line("Summary", 11, true);
    for (const auto& s : summaryLines(d))
        p.line(s);
    p.y += 8;
    p.line("Outages", 11, true);
    // A time with its offset is wider: the texts' columns give it the room.
    font(cr, 7.5);
    const double time = std::max(98.0, textWidth(cr, tableTime(d, d.range.since)) + 8);
    const double text = (Pages::kWidth - 2 * Pages::kMargin - 2 * time - 56) / 2;
    const std::vector<double> widths = {time, time, 56, text, text};
    if (d.outages.empty())
        p.line("None in this range.");
    else
        p.row({"Start", "End", "Duration", "Before: the modem said", "After"}, widths, true);
    for (const auto& r : outageRows(d))
        p.row(r, widths);
    // Charts, three a page.
    p.next();
    const auto charts = chartsOf(d);
    for (std::size_t i = 0; i < charts.size(); ++i) {
        if (i == 3)
            p.next();
        p.need(240);
        drawChart(cr, Pages::kMargin, p.y, Pages::kWidth - 2 * Pages::kMargin, 230, charts[i], d);
        p.y += 245;
    }
    p.next();
    p.line("Events", 11, true);
    if (d.allCount > static_cast<long>(std::min(d.all.size(), kMostEventsPrinted)))
        p.line("The first " + std::to_string(std::min(d.all.size(), kMostEventsPrinted)) + " of " +
                   std::to_string(d.allCount) + ".",
               8);
    const std::vector<double> eventWidths = {time, 72,
                                             Pages::kWidth - 2 * Pages::kMargin - time - 72};
    p.row({"Time", "Kind", "Text"}, eventWidths, true);
    for (std::size_t i = 0; i < d.all.size() && i < kMostEventsPrinted; ++i) {
        const auto& e = d.all[i];
        p.row({tableTime(d, e.t), history::eventKindName(e.kind), eventText(e)}, eventWidths);
    }
    cairo_show_page(cr);
    cairo_destroy(cr);
    cairo_surface_finish(surface);
    const cairo_status_t status = cairo_surface_status(surface);
    cairo_surface_destroy(surface);
    if (status != CAIRO_STATUS_SUCCESS) {
        error = cairo_status_to_string(status);
        return false;
    }
    return true;
}

bool writePng(const ReportData& d, std::string& bytes, std::string& error) {
    const int width = 1200, chartHeight = 250, head = 70;
    const auto charts = chartsOf(d);
    const int height = head + chartHeight * static_cast<int>(charts.size()) + 10;
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
    cairo_t* cr = cairo_create(surface);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
    font(cr, 18, true);
    say(cr, 20, 28, title(d));
    font(cr, 12);
    const auto lines = summaryLines(d);
    say(cr, 20, 50, fitted(cr, zoneNote(d, false) + " " + lines.front(), width - 40));
    cairo_save(cr);
    cairo_scale(cr, 2, 2);  // the charts as on paper, twice as large
    for (std::size_t i = 0; i < charts.size(); ++i)
        drawChart(cr, 10, (head + chartHeight * static_cast<double>(i)) / 2, width / 2.0 - 20,
                  chartHeight / 2.0 - 8, charts[i], d);
    cairo_restore(cr);
    cairo_destroy(cr);
    const cairo_status_t status = cairo_surface_write_to_png_stream(surface, appendTo, &bytes);
    cairo_surface_destroy(surface);
    if (status != CAIRO_STATUS_SUCCESS) {
        error = cairo_status_to_string(status);
        return false;
    }
    return true;
}

std::string html(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// A chart as SVG, for the HTML file.
std::string chartSvg(const Chart& c, const ReportData& d) {
    std::string svg;
    cairo_surface_t* surface = cairo_svg_surface_create_for_stream(appendTo, &svg, 760, 230);
    cairo_t* cr = cairo_create(surface);
    drawChart(cr, 0, 0, 760, 230, c, d);
    cairo_destroy(cr);
    cairo_surface_finish(surface);
    cairo_surface_destroy(surface);
    // Its XML declaration has no place inside the page.
    if (const std::size_t start = svg.find("<svg"); start != std::string::npos)
        svg.erase(0, start);
    return svg;
}

bool writeHtml(const ReportData& d, std::string& page, std::string&) {
    page =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
        // Nothing from any other host, nor anything that runs.
        "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
        "style-src 'unsafe-inline'; img-src data:\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>" +
        html(title(d)) +
        "</title>\n<style>body{font-family:\"DejaVu Sans\",sans-serif;max-width:800px;margin:"
        "2em auto;padding:0 1em;color:#1a1a1a}table{border-collapse:collapse;width:100%;"
        "font-size:.85em}th,td{text-align:left;padding:.2em .5em;border-bottom:1px solid #ddd;"
        "vertical-align:top}svg{max-width:100%;height:auto}@media print{h2{break-before:auto}}"
        "</style></head><body>\n<h1>" +
        html(title(d)) + "</h1>\n<p>" + html(madeText(d)) + " " + html(zoneNote(d)) + " From " +
        html(visible(d.source)) + ".</p>\n<h2>The modem</h2>\n<ul><li>Microcode: " +
        html(visible(d.microcode, "not recorded")) +
        "</li><li>Boot code: " + html(visible(d.boot, "not recorded")) +
        "</li><li>Receive channel: " + html(d.receive.empty() ? "not recorded" : d.receive) +
        "</li><li>Transmit channel: " + html(d.transmit.empty() ? "not recorded" : d.transmit) +
        "</li><li>Interface: " + html(visible(d.interfaceName, "of the default route")) +
        "</li></ul>\n<h2>Summary</h2>\n";
    for (const auto& s : summaryLines(d))
        page += "<p>" + html(s) + "</p>\n";
    page += "<h2>Outages</h2>\n";
    if (d.outages.empty()) {
        page += "<p>None in this range.</p>\n";
    } else {
        page +=
            "<table><thead><tr><th scope=\"col\">Start</th><th scope=\"col\">End</th>"
            "<th scope=\"col\">Duration</th><th scope=\"col\">Before: the modem said</th>"
            "<th scope=\"col\">After</th></tr></thead><tbody>\n";
        for (const auto& r : outageRows(d)) {
            page += "<tr>";
            for (const auto& cell : r)
                page += "<td>" + html(cell) + "</td>";
            page += "</tr>\n";
        }
        page += "</tbody></table>\n";
    }
    page +=
        "<h2>Charts</h2>\n<p>Outages shaded red; bands from the minimum to the maximum; "
        "gaps left blank.</p>\n";
    for (const auto& c : chartsOf(d))
        page += "<figure role=\"img\" aria-label=\"" + html(c.title) + "\">" + chartSvg(c, d) +
                "</figure>\n";
    page += "<h2>Events</h2>\n";
    if (d.allCount > static_cast<long>(d.all.size()))
        page += "<p>The first " + std::to_string(d.all.size()) + " of " +
                std::to_string(d.allCount) + ".</p>\n";
    page +=
        "<table><thead><tr><th scope=\"col\">Time</th><th scope=\"col\">Kind</th>"
        "<th scope=\"col\">Text</th></tr></thead><tbody>\n";
    for (const auto& e : d.all)
        page += "<tr><td>" + html(tableTime(d, e.t)) + "</td><td>" +
                html(history::eventKindName(e.kind)) + "</td><td>" + html(eventText(e)) +
                "</td></tr>\n";
    page += "</tbody></table>\n</body></html>\n";
    return true;
}

bool endsWith(const std::string& s, const char* suffix) {
    const std::string end(suffix);
    if (s.size() < end.size())
        return false;
    std::string tail = s.substr(s.size() - end.size());
    for (char& c : tail)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return tail == end;
}

// The report in `format` as the bytes of its file.
bool render(const ReportData& d, const std::string& format, std::string& bytes,
            std::string& error) {
    bytes.clear();
    if (format == "pdf")
        return writePdf(d, bytes, error);
    if (format == "png")
        return writePng(d, bytes, error);
    return writeHtml(d, bytes, error);
}

// The file `path` names, through any symbolic links: a report written to a link is written to
// the file it points to, and the link stays.
bool followLinks(const std::string& path, std::string& target) {
    target = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return true;
        std::string link(4096, '\0');
        const ssize_t n = ::readlink(target.c_str(), link.data(), link.size());
        if (n < 0 || static_cast<std::size_t>(n) >= link.size())
            return true;  // what cannot be read is told by the write that follows
        link.resize(static_cast<std::size_t>(n));
        if (link.front() != '/') {
            const std::size_t slash = target.rfind('/');
            if (slash != std::string::npos)
                link = target.substr(0, slash + 1) + link;
        }
        target = link;
    }
    errno = ELOOP;
    return false;
}

// Writes `bytes` beside `target` and puts them in its place whole: a full disk or a failure
// leaves what was there as it was. A file replaced keeps its mode (and its owner, as far as
// this user may give it), as one written over in place would.
bool replaceWhole(const std::string& target, const std::string& bytes, int& failure) {
    struct stat was {};
    const bool existed = ::stat(target.c_str(), &was) == 0 && S_ISREG(was.st_mode);
    const std::string part = target + ".part-" + std::to_string(::getpid());
    const int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                          existed ? (was.st_mode & 0777) : 0666);
    if (fd < 0) {
        failure = errno;
        return false;
    }
    if (existed) {
        // Its owner where this user may give it (root may); else the new file is this user's,
        // who was allowed to replace the old.
        if (was.st_uid != ::geteuid() || was.st_gid != ::getegid()) {
            const int given = ::fchown(fd, was.st_uid, was.st_gid);
            static_cast<void>(given);
        }
        ::fchmod(fd, was.st_mode & 0777);  // beyond the umask the open applied
    }
    bool written = true;
    for (std::size_t at = 0; at < bytes.size() && written;) {
        const ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
        if (n > 0) {
            at += static_cast<std::size_t>(n);
        } else if (n == 0 || errno != EINTR) {
            failure = n == 0 ? EIO : errno;
            written = false;
        }
    }
    // Some file systems (NFS, a quota) tell a full disk only when the data reach them.
    if (written && ::fsync(fd) != 0) {
        failure = errno;
        written = false;
    }
    if (::close(fd) != 0 && written) {
        failure = errno;
        written = false;
    }
    if (written && ::rename(part.c_str(), target.c_str()) != 0) {
        failure = errno;
        written = false;
    }
    if (!written)
        ::unlink(part.c_str());
    return written;
}

}  // namespace

std::string reportFormat(const std::string& path) {
    if (endsWith(path, ".pdf"))
        return "pdf";
    if (endsWith(path, ".png"))
        return "png";
    if (endsWith(path, ".html") || endsWith(path, ".htm"))
        return "html";
    return "";
}

bool writeReport(const ReportData& d, const std::string& path, std::string& error) {
    const std::string format = reportFormat(path);
    if (format.empty()) {
        error = path + ": the report is written as .pdf, .html or .png";
        return false;
    }
    std::string bytes, target;
    if (!render(d, format, bytes, error)) {
        error = path + ": " + error;
        return false;
    }
    int failure = 0;
    if (!followLinks(path, target) || !replaceWhole(target, bytes, failure)) {
        error = path + ": " + std::strerror(failure != 0 ? failure : errno);
        return false;
    }
    return true;
}

bool reportBytes(const ReportData& d, const std::string& format, std::string& bytes,
                 std::string& error) {
    if (format != "pdf" && format != "html" && format != "png") {
        error = "a report is pdf, html or png";
        return false;
    }
    return render(d, format, bytes, error);
}

}  // namespace brix::report
