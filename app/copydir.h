#ifndef TVX_COPYDIR_H
#define TVX_COPYDIR_H
#endif
