#pragma once

#include "util/Error.h"

namespace vellmir {

// A failure of the model review. Its message is the sentence shown to the user.
class ExcludeAIError : public Error {
public:
    enum class Kind {
        unavailable, // the model cannot run now (not supported, not enabled, not ready)
        generation, // a model request failed
    };

    static ExcludeAIError unavailable(QString message) { return ExcludeAIError(Kind::unavailable, std::move(message)); }
    static ExcludeAIError generation(QString message) { return ExcludeAIError(Kind::generation, std::move(message)); }

    Kind kind() const { return m_kind; }

private:
    ExcludeAIError(Kind kind, QString message)
        : Error(std::move(message))
        , m_kind(kind)
    {
    }
    Kind m_kind;
};

} // namespace vellmir
