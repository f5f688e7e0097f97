#pragma once

#include <QObject>
#include <string>

// Base of the serial and fax library's components. Components are owned by
// their form (Qt parent), so SearchComPort can find a port among a form's
// children.
class TApdBaseComponent : public QObject {
    Q_OBJECT
public:
    explicit TApdBaseComponent(QObject* owner = nullptr);

    // The library's version text.
    std::string Version() const;

    // True while the component takes its values from a stored form; no
    // exceptions are raised meanwhile.
    bool IsLoading() const { return Loading_; }
    void SetLoading(bool loading) { Loading_ = loading; }

private:
    bool Loading_ = false;
};
