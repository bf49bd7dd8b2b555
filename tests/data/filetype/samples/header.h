#pragma once

int answer(void);
