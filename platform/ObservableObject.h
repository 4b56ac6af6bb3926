#pragma once

#include <QObject>

#include <utility>

namespace platform {

// Base of the model classes. Observers hear objectWillChange() before every store
// of a published property, also when the value stored equals the one held, and
// read the new values afterwards (views refresh through a queued connection).
// Constructors set initial values directly, so construction notifies nobody.
class ObservableObject : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

signals:
    void objectWillChange();

protected:
    template <typename T, typename U>
    void store(T& field, U&& value)
    {
        emit objectWillChange();
        field = std::forward<U>(value);
    }
};

} // namespace platform
