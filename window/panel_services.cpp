#include "panel_services.h"

std::string FormatNumberLine(std::uint8_t number)
{
    return " " + std::to_string(number) + " ";
}

std::string DescribeDriverFault(const DriverFault& fault)
{
    std::string text;
    if (fault.kind == DriverFault::Kind::MissingFunction) {
        text = "Die Funktion " + fault.function + " fehlt in der Treiberbibliothek " + fault.library + ".";
    } else {
        text = "Die Treiberbibliothek " + fault.library + " konnte nicht geladen werden.";
    }
    if (!fault.reason.empty()) {
        text += "\n\n" + fault.reason;
    }
    return text;
}
