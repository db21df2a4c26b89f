// Why the router would not forward a port.
#pragma once

#include <QString>

#include <stdexcept>

class MappingError : public std::runtime_error {
public:
    enum class Kind {
        // Nothing answered: there may be no router of this kind at all.
        Unanswered,
        // A router answered and said no, or answered something unusable.
        Refused,
    };

    // `detail` is a short phrase for the user, e.g. "NAT-PMP: not authorized".
    MappingError(Kind kind, const QString& detail) : std::runtime_error(detail.toStdString()), kind_(kind), detail_(detail) {}

    Kind kind() const { return kind_; }
    const QString& detail() const { return detail_; }

private:
    Kind kind_;
    QString detail_;
};
