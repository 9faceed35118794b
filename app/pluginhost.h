#ifndef TVX_PLUGINHOST_H
#define TVX_PLUGINHOST_H
#endif
