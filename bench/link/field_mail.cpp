#include "link/field_mail.h"

#include <cstddef>
#include <cstdint>

namespace {

// A small linear congruential generator of our own: the standard
// distributions differ between libraries, and the corpus must not.
class TRandom {
public:
    explicit TRandom(uint64_t seed) : FState(seed) {}
    uint32_t Next()
    {
        FState = FState * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(FState >> 33);
    }
    uint32_t Below(uint32_t n) { return Next() % n; }
    template <class T, size_t N> const T& Pick(const T (&list)[N])
    {
        return list[Below(static_cast<uint32_t>(N))];
    }

private:
    uint64_t FState;
};

const char* const kSubjects[] = {
    "the crew",       "our team",        "the relief party", "the engineer",
    "the doctor",     "the supply boat", "the survey group", "the cook",
    "the radio room", "the night watch", "everyone here",    "the visitors from the coast",
    "the pilot",      "the new pump",    "the generator",    "the school",
    "the river",      "the north camp",  "my brother",       "the harbour master",
    "two fishermen",  "the mechanic",    "the old teacher",  "a trader from the hills",
    "the nurse",      "the boys",        "the carpenter",    "our neighbour",
    "the mayor",      "the driver",      "the night nurse",  "the priest"};
const char* const kVerbs[] = {
    "repaired",   "checked",   "moved",    "counted",  "cleaned",   "loaded",
    "waited for", "found",     "replaced", "measured", "delivered", "carried",
    "inspected",  "painted",   "ordered",  "sold",     "tested",    "opened",
    "closed",     "looked at", "finished", "started",  "lost",      "borrowed",
    "fixed",      "weighed",   "unpacked", "stacked",  "dried",     "sorted",
    "emptied",    "tied down", "covered",  "returned", "mended",    "rebuilt"};
const char* const kAdjectives[] = {
    "old",   "new",     "broken",  "heavy", "small",   "wet",    "spare",    "second",
    "large", "wooden",  "damaged", "empty", "full",    "cheap",  "useful",   "last",
    "first", "missing", "rusty",   "clean", "strange", "narrow", "green",    "quiet",
    "long",  "short",   "leaking", "heavy", "dusty",   "red",    "borrowed", "stolen"};
const char* const kObjects[] = {
    "fuel drums",   "water tank", "antenna mast", "rice sacks",     "fishing nets",
    "roof",         "engine",     "batteries",    "medicine boxes", "road to the village",
    "solar panels", "fence",      "storeroom",    "boat",           "radio",
    "well",         "tools",      "cables",       "spare parts",    "maps",
    "clinic",       "bridge",     "letters",      "seed potatoes",  "goats",
    "chickens",     "ladders",    "blankets",     "window frames",  "drinking water",
    "nails",        "oil lamps",  "rope",         "tarpaulins",     "bicycles",
    "school books", "kerosene",   "paint",        "gate",           "canoe"};
const char* const kPlaces[] = {"near the landing",
                               "before the rain came",
                               "after breakfast",
                               "in the morning",
                               "during the night",
                               "at the north end of the camp",
                               "behind the clinic",
                               "on the way back",
                               "along the river",
                               "by the old warehouse",
                               "at low tide",
                               "this afternoon",
                               "before sunset",
                               "in the workshop",
                               "on Tuesday",
                               "with help from the school",
                               "while the wind was down",
                               "at the second bend",
                               "for the third time",
                               "without any trouble",
                               "in spite of the heat",
                               "next to the pier",
                               "before the meeting",
                               "at the far end of the field",
                               "under the big tree",
                               "just after noon",
                               "on Friday evening"};
const char* const kJoins[] = {"and", "but", "so", "because", "although", "while", "and then"};
const char* const kOpeners[] = {"As you asked, ",
                                "Yesterday ",
                                "Today ",
                                "As usual, ",
                                "Unfortunately ",
                                "Luckily ",
                                "By the way, ",
                                "Once again ",
                                "",
                                "",
                                "",
                                ""};
const char* const kAsides[] = {
    "The weather has been calm for three days.",
    "We still need more diesel before the end of the month.",
    "Please tell the office that the schedule has not changed.",
    "The children send their greetings to everyone at home.",
    "I will write again when the boat is back.",
    "Nobody was hurt, and the work goes on as planned.",
    "The price of rice went up again at the market.",
    "If you can, please send two more rolls of tape with the next boat.",
    "The signal was weak this morning, so I am sending this later than usual.",
    "We expect the inspectors some time next week."};
const char* const kNames[] = {"Anna",  "Pedro", "Maria", "John", "Kofi",   "Lena",
                              "Tomas", "Grace", "Omar",  "Ruth", "Samuel", "Ines"};
const char* const kTopics[] = {"Weekly report", "Supplies", "Repairs", "Re: schedule",
                               "Greetings",     "Fuel",     "Boat",    "Clinic news",
                               "Road works",    "Question"};

std::string Capital(std::string s)
{
    if (!s.empty() && s[0] >= 'a' && s[0] <= 'z')
        s[0] = static_cast<char>(s[0] - 'a' + 'A');
    return s;
}

std::string Clause(TRandom& r)
{
    std::string c = std::string(r.Pick(kSubjects)) + " " + r.Pick(kVerbs) + " the ";
    if (r.Below(2) == 0)
        c += std::string(r.Pick(kAdjectives)) + " ";
    c += r.Pick(kObjects);
    if (r.Below(3) > 0)
        c += std::string(" ") + r.Pick(kPlaces);
    return c;
}

std::string Sentence(TRandom& r)
{
    switch (r.Below(12)) {
    case 0:
        return r.Pick(kAsides);
    case 1:
    case 2: {
        const uint32_t all = 2 + r.Below(140);
        return "We counted " + std::to_string(all) + " " + r.Pick(kObjects) + " and " +
               std::to_string(1 + r.Below(all - 1)) + " of them were " + r.Pick(kAdjectives) + ".";
    }
    case 3:
    case 4:
    case 5:
        return Capital(std::string(r.Pick(kOpeners)) + Clause(r)) + ", " + r.Pick(kJoins) + " " +
               Clause(r) + ".";
    default:
        return Capital(std::string(r.Pick(kOpeners)) + Clause(r)) + ".";
    }
}

std::string Mail(TRandom& r, int n, const std::string& recipient)
{
    const std::string from = r.Pick(kNames);
    std::string m = "RCPT: " + recipient + "\r\nFrom: " + from + " <" + from +
                    "@HOME>\r\nTo: " + recipient + "\r\nSubject: " + r.Pick(kTopics) + " " +
                    std::to_string(n + 1) + "\r\nDate: " + std::to_string(1 + n % 28) +
                    " Mar 2025 " + std::to_string(10 + r.Below(12)) + ":" +
                    std::to_string(10 + r.Below(50)) + " +0000\r\nMessage-ID: <" +
                    std::to_string(r.Next()) + "@HOME>\r\n\r\nHello,\r\n\r\n";
    const size_t target = 2048 + r.Below(1900);
    std::string line;
    while (m.size() + line.size() < target) {
        std::string s = Sentence(r);
        // Lines of at most 72 columns, a paragraph now and then.
        size_t start = 0;
        while (start < s.size()) {
            size_t word = s.find(' ', start);
            word = word == std::string::npos ? s.size() : word;
            const std::string w = s.substr(start, word - start);
            if (!line.empty() && line.size() + 1 + w.size() > 72) {
                m += line + "\r\n";
                line.clear();
            }
            line += (line.empty() ? "" : " ") + w;
            start = word + 1;
        }
        if (r.Below(5) == 0) {
            m += line + "\r\n\r\n";
            line.clear();
        }
    }
    return m + line + "\r\n\r\nBest regards,\r\n" + from + "\r\n";
}

} // namespace

namespace FieldMail {

std::vector<std::string> Make(int count, const std::string& recipient)
{
    TRandom r(29);
    std::vector<std::string> mails;
    for (int n = 0; n < count; ++n)
        mails.push_back(Mail(r, n, recipient));
    return mails;
}

} // namespace FieldMail
