#include <QObject>
#include <QtPlugin>

// An interface that is not IWidget.
class IOther
{
public:
    virtual ~IOther() {}
    virtual int other() const = 0;
};

#define IOther_iid "com.tarvex.test.IOther(1.0)"
Q_DECLARE_INTERFACE(IOther, IOther_iid)

class OtherPlugin : public QObject, public IOther
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID IOther_iid)
    Q_INTERFACES(IOther)

public:
    int other() const override { return 42; }
};

#include "otherplugin.moc"
